-- The demo's tables, in the database postgres (the one vorn makes current after bootstrap).

CREATE TABLE customers (
    id integer PRIMARY KEY,
    name text NOT NULL,
    email varchar(80),
    country char(2),
    signed_up date,
    vip boolean
);
INSERT INTO customers VALUES
    (1, 'Ada Lovelace', 'ada@example.org', 'GB', '2021-03-14', true),
    (2, 'Grace Hopper', 'grace@example.org', 'US', '2022-07-01', false),
    (3, 'Søren Kierkegaard', NULL, 'DK', '2023-01-09', NULL),
    (4, '山田 太郎', 'taro@example.jp', 'JP', '2024-02-29', true);

CREATE TABLE products (
    sku char(8) PRIMARY KEY,
    title text,
    price numeric(10, 2),
    weight_kg real,
    added timestamptz,
    description text
);
INSERT INTO products VALUES
    ('BOOK0001', 'Notes on the Analytical Engine', 24.50, 0.4, '2024-01-02 09:30:00+00',
     'A short one.'),
    -- Compresses well: stored compressed, in line.
    ('BOOK0002', 'The Collected Letters', 89.00, 1.25, '2024-01-03 10:00:00+00',
     repeat('Dear Charles, the engine may act upon other things besides number. ', 200)),
    -- md5 hex does not compress: stored out of line in the TOAST relation.
    ('DATA0003', 'Random bytes, printed', 5.00, 0.01, '2024-01-04 11:15:00+00',
     (SELECT string_agg(md5(i::text), '') FROM generate_series(1, 400) i));

CREATE TABLE orders (
    id bigint PRIMARY KEY,
    customer_id integer,
    sku char(8),
    quantity smallint,
    placed_at timestamp,
    note text
);
INSERT INTO orders VALUES
    (1001, 1, 'BOOK0001', 1, '2024-03-01 12:00:00', 'gift wrap'),
    (1002, 2, 'BOOK0002', 2, '2024-03-02 08:45:10', NULL),
    (1003, 4, 'DATA0003', 10, '2024-03-03 17:30:00', 'cancelled by phone'),
    (1004, 3, 'BOOK0001', 3, '2024-03-04 19:05:59', 'tab	and | pipe');
-- A deleted row: its tuple stays on the page, vorn leaves it out.
DELETE FROM orders WHERE id = 1003;
-- Reading the table after the delete sets the tuples' hint bits.
SELECT count(*) FROM orders \g /dev/null

CREATE SCHEMA archive;
CREATE TABLE archive.orders_2023 (LIKE orders);
INSERT INTO archive.orders_2023 VALUES (901, 2, 'BOOK0001', 1, '2023-12-24 10:00:00', 'xmas');

CHECKPOINT;
