INSERT INTO lines VALUES (1, 'ttyS1', 9600, 0, 8, 1, 0, 0, 100, 0, 0, 0);
