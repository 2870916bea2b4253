SELECT megye, COUNT(*) AS db, SUM(lakos), AVG(lakos), MIN(nev), MAX(nev)
FROM varosok GROUP BY megye HAVING COUNT(*) > 2 ORDER BY megye DESC, db ASC