SELECT * FROM t WHERE a = :p AND b > :n AND c < :f AND d = :d AND e = :t
  AND g = :ts AND h = :w AND i = :b AND j = :ok AND k = :nul AND l = :big + :cur