-- a line comment
SELECT a /* a block
 comment */ , b -- trailing
FROM t /* unterminated at the end? no */