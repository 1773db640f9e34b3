-- QEMU does not pace the line and the host's simulator may answer late: 500 ms for a reply.
INSERT INTO lines VALUES (1, 'ttyS1', 9600, 0, 8, 1, 0, 0, 500, 0, 0, 0);
