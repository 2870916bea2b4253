SELECT a.x, b.y
FROM a
  LEFT OUTER JOIN b ON a.id = b.a_id
  RIGHT JOIN c USING (id)
  FULL OUTER JOIN d ON d.k <> a.k