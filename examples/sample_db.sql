-- A small music store: the sample database the README's questions run against.
-- Portable SQL: loads into SQLite, PostgreSQL and MariaDB alike (one statement per line group,
-- each ending with a semicolon at the end of a line).
CREATE TABLE artist (
    artist_id INTEGER NOT NULL PRIMARY KEY,
    name VARCHAR(120) NOT NULL
);
CREATE TABLE album (
    album_id INTEGER NOT NULL PRIMARY KEY,
    title VARCHAR(160) NOT NULL,
    artist_id INTEGER NOT NULL REFERENCES artist (artist_id),
    release_year INTEGER
);
CREATE TABLE track (
    track_id INTEGER NOT NULL PRIMARY KEY,
    name VARCHAR(200) NOT NULL,
    album_id INTEGER REFERENCES album (album_id),
    genre VARCHAR(60),
    milliseconds INTEGER NOT NULL,
    unit_price NUMERIC(10, 2) NOT NULL
);
CREATE TABLE customer (
    customer_id INTEGER NOT NULL PRIMARY KEY,
    first_name VARCHAR(40) NOT NULL,
    last_name VARCHAR(40) NOT NULL,
    country VARCHAR(40)
);
CREATE TABLE invoice (
    invoice_id INTEGER NOT NULL PRIMARY KEY,
    customer_id INTEGER NOT NULL REFERENCES customer (customer_id),
    invoice_date DATE NOT NULL,
    total NUMERIC(10, 2) NOT NULL
);
INSERT INTO artist (artist_id, name) VALUES
    (1, 'AC/DC'), (2, 'Accept'), (3, 'Aerosmith'), (4, 'Alanis Morissette'),
    (5, 'Miles Davis'), (6, 'Nina Simone'), (7, 'Björk'), (8, 'Ennio Morricone');
INSERT INTO album (album_id, title, artist_id, release_year) VALUES
    (1, 'For Those About To Rock We Salute You', 1, 1981), (2, 'Back in Black', 1, 1980),
    (3, 'Balls to the Wall', 2, 1983), (4, 'Restless and Wild', 2, 1982),
    (5, 'Big Ones', 3, 1994), (6, 'Jagged Little Pill', 4, 1995),
    (7, 'Kind of Blue', 5, 1959), (8, 'Bitches Brew', 5, 1970),
    (9, 'I Put a Spell on You', 6, 1965), (10, 'Homogenic', 7, 1997),
    (11, 'The Good, the Bad and the Ugly', 8, 1966), (12, 'Sketches of Spain', 5, 1960);
INSERT INTO track (track_id, name, album_id, genre, milliseconds, unit_price) VALUES
    (1, 'For Those About To Rock (We Salute You)', 1, 'Rock', 343719, 0.99),
    (2, 'Put The Finger On You', 1, 'Rock', 205662, 0.99),
    (3, 'Hells Bells', 2, 'Rock', 312000, 0.99),
    (4, 'Back in Black', 2, 'Rock', 255000, 1.29),
    (5, 'Balls to the Wall', 3, 'Metal', 342562, 0.99),
    (6, 'Fast As a Shark', 4, 'Metal', 230619, 0.99),
    (7, 'Walk On Water', 5, 'Rock', 295680, 0.99),
    (8, 'You Oughta Know', 6, 'Alternative', 249000, 1.29),
    (9, 'Ironic', 6, 'Alternative', 229000, 1.29),
    (10, 'So What', 7, 'Jazz', 562000, 0.99),
    (11, 'Blue in Green', 7, 'Jazz', 337000, 0.99),
    (12, 'Pharaoh''s Dance', 8, 'Jazz', 1206000, 1.99),
    (13, 'Feeling Good', 9, 'Jazz', 177000, 1.29),
    (14, 'Jóga', 10, 'Electronic', 305000, 1.29),
    (15, 'The Ecstasy of Gold', 11, 'Soundtrack', 202000, 0.99),
    (16, 'Concierto de Aranjuez', 12, 'Jazz', 977000, 1.99);
INSERT INTO customer (customer_id, first_name, last_name, country) VALUES
    (1, 'Luís', 'Gonçalves', 'Brazil'), (2, 'Leonie', 'Köhler', 'Germany'),
    (3, 'François', 'Tremblay', 'Canada'), (4, 'Bjørn', 'Hansen', 'Norway'),
    (5, 'Frank', 'Harris', 'USA'), (6, 'Jack', 'Smith', 'USA');
INSERT INTO invoice (invoice_id, customer_id, invoice_date, total) VALUES
    (1, 2, '2024-01-01', 1.98), (2, 4, '2024-01-02', 3.96), (3, 5, '2024-02-03', 5.94),
    (4, 1, '2024-02-06', 8.91), (5, 6, '2024-03-11', 13.86), (6, 3, '2024-03-19', 0.99),
    (7, 2, '2024-04-19', 1.98), (8, 5, '2024-05-20', 1.98), (9, 1, '2024-06-02', 3.96),
    (10, 6, '2024-06-15', 5.94), (11, 4, '2024-07-01', 8.91), (12, 3, '2024-08-12', 13.86);
