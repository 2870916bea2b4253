

   SELECT
	a
	, b
 FROM

 t