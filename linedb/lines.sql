-- lines.sql - the table `lines` of the unit's line database (/etc/quor/db/sysconfig/quorLan.db),
-- one row per RS-485 line. libquordb.so reads field k of a line record as column k's text
-- (an INTEGER as its decimal text, NULL as ""). The demo, the bench line and the scan
-- benchmark create their databases from this file; on a new file run it first:
--     sqlite3 /etc/quor/db/sysconfig/quorLan.db < linedb/lines.sql
CREATE TABLE IF NOT EXISTS lines (
    id            INTEGER PRIMARY KEY,  -- field 0: the line identifier
    tty           TEXT,     -- field 1: device name without "/dev/", at most 27 characters
    speed         INTEGER,  -- field 2: bit/s (4800, 9600, 19200, 38400, 57600, 115200)
    parity        INTEGER,  -- field 3: 0 none, 1 odd, other even
    data_bits     INTEGER,  -- field 4: 5, 6, 7, other 8
    stop_bits     INTEGER,  -- field 5: 2, other 1
    dtr_lead_ms   INTEGER,  -- field 6: DTR up to first byte
    dtr_tail_ms   INTEGER,  -- field 7: transmitter empty to DTR down
    rx_timeout_ms INTEGER,  -- field 8: reply time-out base
    reserved      INTEGER,  -- field 9: read, not used
    post_rx_ms    INTEGER,  -- field 10: wait after a complete reply
    pre_tx_ms     INTEGER   -- field 11: wait before a transmission
);
