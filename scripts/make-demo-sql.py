#!/usr/bin/env python3
"""Writes scripts/demo.sql, the script that makes the demo database.

The rows are drawn from a fixed seed, so the script is the same on every
run; it is kept in the repository and only needs writing again when this
generator changes:  python3 scripts/make-demo-sql.py > scripts/demo.sql
"""
import random

rng = random.Random(1989)

FIRST = ["Anna", "Bence", "Csilla", "Dániel", "Eszter", "Ferenc", "Gábor", "Hajnalka",
         "István", "Júlia", "Katalin", "László", "Mária", "Nóra", "Ödön", "Péter", "Réka",
         "Sándor", "Tímea", "Zoltán", "Ágnes", "Éva", "Ildikó", "Őrs", "Ünige", "Attila",
         "Boglárka", "Levente", "Zsófia", "Gergő"]
LAST = ["Nagy", "Kovács", "Tóth", "Szabó", "Horváth", "Varga", "Kiss", "Molnár", "Németh",
        "Farkas", "Balogh", "Papp", "Takács", "Juhász", "Lakatos", "Mészáros", "Oláh", "Simon",
        "Rácz", "Fekete", "Szűcs", "Török", "Fehér", "Győri", "Bíró"]
CITIES = ["Budapest", "Debrecen", "Szeged", "Miskolc", "Pécs", "Győr", "Nyíregyháza",
          "Kecskemét", "Székesfehérvár", "Szombathely", "Eger", "Sopron", "Veszprém",
          "Zalaegerszeg", "Kaposvár", "Békéscsaba"]
STREETS = ["Fő utca", "Kossuth Lajos utca", "Petőfi Sándor utca", "Rákóczi út", "Ady Endre utca",
           "Széchenyi tér", "Dózsa György út", "József Attila utca", "Bartók Béla út",
           "Árpád fejedelem útja"]
PRODUCTS = {
    "Irodaszer": [("Golyóstoll, kék", 290), ("Golyóstoll, piros", 290), ("Füzet A4, kockás", 450),
                  ("Füzet A5, vonalas", 320), ("Tűzőgép", 2490), ("Gemkapocs, 100 db", 390),
                  ("Iratrendező, 75 mm", 1190), ("Ragasztóstift", 520), ("Másolópapír A4, 500 lap", 2990),
                  ("Szövegkiemelő, sárga", 350), ("Radír", 120), ("Hegyező, tartályos", 460)],
    "Számítástechnika": [("Vezeték nélküli egér", 6990), ("Billentyűzet, magyar kiosztás", 11990),
                         ("Monitor 24\"", 54990), ("USB pendrive, 64 GB", 3990),
                         ("Külső merevlemez, 1 TB", 21990), ("Webkamera", 14990),
                         ("Fejhallgató mikrofonnal", 9990), ("Egérpad", 1490),
                         ("HDMI kábel, 2 m", 2290), ("Nyomtató patron, fekete", 8990)],
    "Bútor": [("Irodai szék", 39990), ("Íróasztal, tölgy", 89990), ("Könyvespolc, 5 polcos", 29990),
              ("Fiókos konténer", 34990), ("Állólámpa", 15990), ("Tárgyalóasztal", 129990)],
    "Konyha": [("Vízforraló, 1,7 l", 8990), ("Kávéfőző", 24990), ("Bögre, 3 dl", 990),
               ("Evőeszközkészlet, 24 részes", 12990), ("Kenyérpirító", 10990),
               ("Tányérkészlet, 18 részes", 16990), ("Mikrohullámú sütő", 32990)],
    "Kert": [("Locsolókanna, 10 l", 3490), ("Metszőolló", 5990), ("Kerti szék", 12990),
             ("Virágföld, 50 l", 2490), ("Fűnyíró, elektromos", 64990), ("Kerti tömlő, 25 m", 7990)],
}
DESCRIPTIONS = [
    "Strapabíró, mindennapi használatra.",
    "Kiváló ár-érték arány; a vásárlók kedvence.",
    "Tartós kivitel, két év garanciával.",
    "Új termék a kínálatunkban.",
    "Környezetbarát, újrahasznosított anyagból készült.",
]
STATUSES = ["új", "feldolgozás", "kiszállítva", "teljesítve", "törölve"]
NOTES = [
    "Visszatérő vásárló, előre utal.",
    "Csak munkanapokon, 8 és 16 óra között szállítható.",
    "A számlát e-mailben kéri.",
    "Céges vásárló; a szállítólevélre a rendelésszámot is írjuk rá.",
    "Törzsvásárlói kedvezmény: 5%.",
]


def q(text):
    return "'" + text.replace("'", "''") + "'"


def date(y, m, d):
    return "TODATE('%04d-%02d-%02d', 'yyyy-mm-dd')" % (y, m, d)


def ascii_fold(text):
    table = str.maketrans("áéíóöőúüűÁÉÍÓÖŐÚÜŰ", "aeiooouuuAEIOOOUUU")
    return text.translate(table).lower()


out = []
w = out.append
w("-- The demo database: customers, products, their orders and the invoices")
w("-- of those orders. Made by a batch run of this script:")
w("--   kartova demo.kvb scripts/demo.sql -B")
w("-- Written by scripts/make-demo-sql.py; edit that and write this again.")
w("")
w("CREATE TABLE customers (id INTEGER NOT NULL, name VARCHAR(40) NOT NULL, city VARCHAR(30),")
w("  address VARCHAR(60), email VARCHAR(60), phone VARCHAR(20), registered DATE, note MEMO,")
w("  PRIMARY KEY (id));")
w("CREATE TABLE products (id INTEGER NOT NULL, name VARCHAR(40) NOT NULL, category VARCHAR(20),")
w("  unit_price CURRENCY, vat_rate FLOAT, in_stock INTEGER, description MEMO, PRIMARY KEY (id));")
w("CREATE TABLE orders (id INTEGER NOT NULL, customer_id INTEGER NOT NULL, product_id INTEGER NOT NULL,")
w("  quantity INTEGER, order_date DATE, status VARCHAR(12), PRIMARY KEY (id));")
w("CREATE TABLE invoices (id INTEGER NOT NULL, order_id INTEGER NOT NULL, invoice_no VARCHAR(16),")
w("  issued DATE, due DATE, amount CURRENCY, paid LOGICAL, PRIMARY KEY (id));")
w("CREATE INDEX customers_name ON customers (name);")
w("CREATE INDEX customers_city ON customers (city, name);")
w("CREATE INDEX products_category ON products (category, name);")
w("CREATE INDEX orders_customer ON orders (customer_id, order_date);")
w("CREATE INDEX orders_product ON orders (product_id);")
w("CREATE UNIQUE INDEX invoices_order ON invoices (order_id);")
w("")

customers = []
names = [(f, l) for l in LAST for f in FIRST]
rng.shuffle(names)
for cid in range(1, 501):
    first, last = names[cid - 1]
    city = rng.choice(CITIES)
    address = "%s %d." % (rng.choice(STREETS), rng.randint(1, 120))
    email = "%s.%s%d@example.hu" % (ascii_fold(first), ascii_fold(last), cid)
    phone = "+36 %d %03d %04d" % (rng.choice([20, 30, 70]), rng.randint(100, 999), rng.randint(0, 9999))
    y, m, d = rng.randint(2015, 2024), rng.randint(1, 12), rng.randint(1, 28)
    note = q(rng.choice(NOTES)) if rng.random() < 0.3 else "NULL"
    w("INSERT INTO customers VALUES (%d, %s, %s, %s, %s, %s, %s, %s);" % (
        cid, q(last + " " + first), q(city), q(address), q(email), q(phone), date(y, m, d), note))
    customers.append(cid)
w("")

products = []
pid = 0
for category, items in PRODUCTS.items():
    for name, price in items:
        pid += 1
        vat = 27.0 if category != "Konyha" or pid % 2 else 18.0
        stock = rng.randint(0, 400)
        w("INSERT INTO products VALUES (%d, %s, %s, %d, %.1f, %d, %s);" % (
            pid, q(name), q(category), price, vat, stock, q(rng.choice(DESCRIPTIONS))))
        products.append((pid, price))
w("")

invoice_rows = []
for oid in range(1, 2001):
    cid = rng.choice(customers)
    product, price = rng.choice(products)
    quantity = rng.choice([1, 1, 1, 2, 2, 3, 5, 10])
    y = rng.randint(2022, 2024)
    m, d = rng.randint(1, 12), rng.randint(1, 28)
    status = rng.choices(STATUSES, weights=[5, 5, 20, 65, 5])[0]
    w("INSERT INTO orders VALUES (%d, %d, %d, %d, %s, %s);" % (
        oid, cid, product, quantity, date(y, m, d), q(status)))
    if status in ("kiszállítva", "teljesítve"):
        invoice_rows.append((oid, y, m, d, price * quantity, status == "teljesítve"))
w("")

for iid, (oid, y, m, d, amount, paid) in enumerate(invoice_rows, start=1):
    dm, dy = (m + 1, y) if m < 12 else (1, y + 1)
    w("INSERT INTO invoices VALUES (%d, %d, %s, %s, %s, %d, %s);" % (
        iid, oid, q("SZ-%d/%05d" % (y, iid)), date(y, m, d), date(dy, dm, d), amount,
        "TRUE" if paid else "FALSE"))

print("\n".join(out))
