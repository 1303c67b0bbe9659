-- The sample business database of examples/business_db.sql for MariaDB and MySQL: the same
-- tables and, row for row, the same values (the same arithmetic on row numbers, in MySQL's
-- dialect: CONCAT for ||, DATE_ADD for date arithmetic, row numbers from a digits table).
-- Load it into an empty database: mariadb DATABASE < examples/business_db_mysql.sql
-- Statements end with a semicolon at the end of a line.
CREATE TABLE employees (
    employee_id INTEGER PRIMARY KEY,
    first_name TEXT NOT NULL,
    last_name TEXT NOT NULL,
    title TEXT NOT NULL,
    reports_to INTEGER REFERENCES employees (employee_id),
    hire_date DATE NOT NULL,
    city TEXT
) DEFAULT CHARSET = utf8mb4;
CREATE TABLE customers (
    customer_id INTEGER PRIMARY KEY,
    company_name TEXT NOT NULL,
    contact_name TEXT,
    country TEXT NOT NULL,
    city TEXT NOT NULL,
    segment TEXT NOT NULL,
    created_at DATE NOT NULL
) DEFAULT CHARSET = utf8mb4;
CREATE TABLE products (
    product_id INTEGER PRIMARY KEY,
    product_name TEXT NOT NULL,
    category TEXT NOT NULL,
    unit_price NUMERIC(10, 2) NOT NULL,
    units_in_stock INTEGER NOT NULL,
    discontinued INTEGER NOT NULL DEFAULT 0
) DEFAULT CHARSET = utf8mb4;
CREATE TABLE orders (
    order_id INTEGER PRIMARY KEY,
    customer_id INTEGER NOT NULL REFERENCES customers (customer_id),
    employee_id INTEGER NOT NULL REFERENCES employees (employee_id),
    order_date DATE NOT NULL,
    shipped_date DATE,
    ship_country TEXT NOT NULL,
    status TEXT NOT NULL
) DEFAULT CHARSET = utf8mb4;
CREATE TABLE order_lines (
    order_id INTEGER NOT NULL REFERENCES orders (order_id),
    line_no INTEGER NOT NULL,
    product_id INTEGER NOT NULL REFERENCES products (product_id),
    quantity INTEGER NOT NULL,
    unit_price NUMERIC(10, 2) NOT NULL,
    discount NUMERIC(4, 2) NOT NULL,
    PRIMARY KEY (order_id, line_no)
) DEFAULT CHARSET = utf8mb4;
CREATE TABLE payments (
    payment_id INTEGER PRIMARY KEY,
    order_id INTEGER NOT NULL REFERENCES orders (order_id),
    paid_at DATE NOT NULL,
    amount NUMERIC(10, 2) NOT NULL,
    method TEXT NOT NULL
) DEFAULT CHARSET = utf8mb4;
INSERT INTO employees VALUES
    (1, 'Andrew', 'Fuller', 'Vice President, Sales', NULL, '2019-08-14', 'Tacoma'),
    (2, 'Nancy', 'Davolio', 'Sales Representative', 1, '2020-05-01', 'Seattle'),
    (3, 'Janet', 'Leverling', 'Sales Representative', 1, '2020-04-01', 'Kirkland'),
    (4, 'Margaret', 'Peacock', 'Sales Representative', 1, '2021-05-03', 'Redmond'),
    (5, 'Steven', 'Buchanan', 'Sales Manager', 1, '2021-10-17', 'London'),
    (6, 'Michael', 'Suyama', 'Sales Representative', 5, '2022-10-17', 'London'),
    (7, 'Robert', 'King', 'Sales Representative', 5, '2023-01-02', 'London'),
    (8, 'Laura', 'Callahan', 'Inside Sales Coordinator', 1, '2023-03-05', NULL),
    (9, 'Anne', 'Dodsworth', 'Sales Representative', 5, '2024-11-15', 'London');
INSERT INTO customers (customer_id, company_name, contact_name, country, city, segment, created_at)
WITH d(x) AS (SELECT 0 UNION ALL SELECT 1 UNION ALL SELECT 2 UNION ALL SELECT 3 UNION ALL SELECT 4
              UNION ALL SELECT 5 UNION ALL SELECT 6 UNION ALL SELECT 7 UNION ALL SELECT 8 UNION ALL SELECT 9),
     n(i) AS (SELECT 1 + a.x + 10 * b.x + 100 * c.x FROM d a, d b, d c)
SELECT i,
       CONCAT(CASE i % 6 WHEN 0 THEN 'Alpine' WHEN 1 THEN 'Blue Harbor' WHEN 2 THEN 'Cedar'
                         WHEN 3 THEN 'Delta' WHEN 4 THEN 'Evergreen' ELSE 'Fjord' END, ' ',
              CASE i % 5 WHEN 0 THEN 'Traders' WHEN 1 THEN 'Foods' WHEN 2 THEN 'Market'
                         WHEN 3 THEN 'Imports' ELSE 'Supply' END, ' ', i),
       CASE WHEN i % 11 = 0 THEN NULL
            ELSE (CASE i % 7 WHEN 0 THEN 'Maria' WHEN 1 THEN 'Ana' WHEN 2 THEN 'Thomas'
                  WHEN 3 THEN 'Hanna' WHEN 4 THEN 'Yoshi' WHEN 5 THEN 'Pedro' ELSE 'Elizabeth' END) END,
       CASE i % 8 WHEN 0 THEN 'Germany' WHEN 1 THEN 'USA' WHEN 2 THEN 'France' WHEN 3 THEN 'Brazil'
                  WHEN 4 THEN 'UK' WHEN 5 THEN 'Spain' WHEN 6 THEN 'Japan' ELSE 'Mexico' END,
       CASE i % 8 WHEN 0 THEN 'Berlin' WHEN 1 THEN 'Seattle' WHEN 2 THEN 'Lyon' WHEN 3 THEN 'São Paulo'
                  WHEN 4 THEN 'London' WHEN 5 THEN 'Madrid' WHEN 6 THEN 'Tokyo' ELSE 'México D.F.' END,
       CASE i % 3 WHEN 0 THEN 'Retail' WHEN 1 THEN 'Wholesale' ELSE 'Restaurant' END,
       DATE_ADD(DATE '2022-01-01', INTERVAL (i * 37) % 900 DAY)
FROM n WHERE i <= 120;
INSERT INTO products (product_id, product_name, category, unit_price, units_in_stock, discontinued)
WITH d(x) AS (SELECT 0 UNION ALL SELECT 1 UNION ALL SELECT 2 UNION ALL SELECT 3 UNION ALL SELECT 4
              UNION ALL SELECT 5 UNION ALL SELECT 6 UNION ALL SELECT 7 UNION ALL SELECT 8 UNION ALL SELECT 9),
     n(i) AS (SELECT 1 + a.x + 10 * b.x FROM d a, d b)
SELECT i,
       CONCAT(CASE i % 10 WHEN 0 THEN 'Chai' WHEN 1 THEN 'Chang' WHEN 2 THEN 'Aniseed Syrup'
                          WHEN 3 THEN 'Cajun Seasoning' WHEN 4 THEN 'Gumbo Mix' WHEN 5 THEN 'Boysenberry Spread'
                          WHEN 6 THEN 'Dried Pears' WHEN 7 THEN 'Cranberry Sauce' WHEN 8 THEN 'Kobe Niku'
                          ELSE 'Ikura' END, ' No. ', i),
       CASE i % 6 WHEN 0 THEN 'Beverages' WHEN 1 THEN 'Condiments' WHEN 2 THEN 'Confections'
                  WHEN 3 THEN 'Dairy Products' WHEN 4 THEN 'Seafood' ELSE 'Produce' END,
       ROUND(2.5 + ((i * 7919) % 9500) / 100.0, 2),
       (i * 53) % 140,
       CASE WHEN i % 17 = 0 THEN 1 ELSE 0 END
FROM n WHERE i <= 60;
INSERT INTO orders (order_id, customer_id, employee_id, order_date, shipped_date, ship_country, status)
WITH d(x) AS (SELECT 0 UNION ALL SELECT 1 UNION ALL SELECT 2 UNION ALL SELECT 3 UNION ALL SELECT 4
              UNION ALL SELECT 5 UNION ALL SELECT 6 UNION ALL SELECT 7 UNION ALL SELECT 8 UNION ALL SELECT 9),
     n(i) AS (SELECT 1 + a.x + 10 * b.x + 100 * c.x + 1000 * e.x FROM d a, d b, d c, d e)
SELECT i,
       1 + (i * 31) % 120,
       2 + (i * 7) % 8,
       DATE_ADD(DATE '2023-01-01', INTERVAL (i * 13) % 730 DAY),
       CASE WHEN i % 19 = 0 THEN NULL
            ELSE DATE_ADD(DATE '2023-01-01', INTERVAL (i * 13) % 730 + 1 + i % 9 DAY) END,
       CASE (1 + (i * 31) % 120) % 8 WHEN 0 THEN 'Germany' WHEN 1 THEN 'USA' WHEN 2 THEN 'France'
            WHEN 3 THEN 'Brazil' WHEN 4 THEN 'UK' WHEN 5 THEN 'Spain' WHEN 6 THEN 'Japan' ELSE 'Mexico' END,
       CASE WHEN i % 19 = 0 THEN 'pending' WHEN i % 23 = 0 THEN 'returned' ELSE 'shipped' END
FROM n WHERE i <= 1500;
INSERT INTO order_lines (order_id, line_no, product_id, quantity, unit_price, discount)
WITH d(x) AS (SELECT 0 UNION ALL SELECT 1 UNION ALL SELECT 2 UNION ALL SELECT 3 UNION ALL SELECT 4
              UNION ALL SELECT 5 UNION ALL SELECT 6 UNION ALL SELECT 7 UNION ALL SELECT 8 UNION ALL SELECT 9),
     n(i) AS (SELECT 1 + a.x + 10 * b.x + 100 * c.x + 1000 * e.x FROM d a, d b, d c, d e),
     l(k) AS (SELECT 1 UNION ALL SELECT 2 UNION ALL SELECT 3)
SELECT n.i, l.k, p.product_id, 1 + (n.i * l.k * 7) % 24, p.unit_price,
       CASE WHEN (n.i + l.k) % 10 = 0 THEN 0.15 WHEN (n.i + l.k) % 7 = 0 THEN 0.05 ELSE 0 END
FROM n JOIN l ON l.k <= 1 + n.i % 3
JOIN products p ON p.product_id = 1 + (n.i * 17 + l.k * 29) % 60
WHERE n.i <= 1500;
INSERT INTO payments (payment_id, order_id, paid_at, amount, method)
SELECT o.order_id, o.order_id, DATE_ADD(o.order_date, INTERVAL o.order_id % 20 DAY),
       ROUND(SUM(ol.quantity * ol.unit_price * (1 - ol.discount)), 2),
       CASE o.order_id % 4 WHEN 0 THEN 'card' WHEN 1 THEN 'bank transfer' WHEN 2 THEN 'card' ELSE 'invoice' END
FROM orders o JOIN order_lines ol ON ol.order_id = o.order_id
WHERE o.status <> 'pending' AND o.order_id % 29 <> 0
GROUP BY o.order_id, o.order_date;
