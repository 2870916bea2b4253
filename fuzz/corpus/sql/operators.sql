SELECT a + b - c * d / e, a || b, a = b, a == b, a <> b, a != b, a < b, a <= b, a > b,
  a >= b, a << 2, a >> 1, a & b, a && b, a | b, ~a, !a, a SHL 1, a SHR 2, a XOR b FROM t