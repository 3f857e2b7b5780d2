# A UPS with trouble: the battery temperature sensor answers with a
# warning status (data still delivered, which ZqUpsTest counts as a
# failure), the internal temperature comes late, and after 20 seconds the
# battery pack stops answering at all.

0x2000:0x01       text     "Zq Power Systems"           readonly
0x2000:0x02       text     "ZQ-R3000 RM 2U"             readonly
0x2000:0x15       text     "ZQR3-2407-004211"           readonly
0x2000:0x16       text     "4.12.7 (2024-05-02)"        readonly
0x2000:0x36       text     "BP-ZQR3-1187-22"            readonly
0x2000:0x03       text     "2024-07-15"                 readonly
0x2000:0x04       text     "online double conversion, 3000 VA / 2700 W, 8 outlets, USB, RS-232, network slot" readonly
0x2000:0x07       text     "(C) 2024 Zq Power Systems. All rights reserved." readonly
0x2000:0x11       text     "2028-07-01"
0x2000:0x06       float    230.0        readonly
0x2000:0x35       float    61.5         readonly   # far too hot
0x2000:0x31       version  1.2.3        readonly
0x2000:0x19       float    38.5         readonly
0x2000:0x1a       int      42           readonly
0x2000:0x1b       float    44.0         readonly
0x2000:0x1f       float    0.45         readonly
0x2000:0x37       float    0.00         readonly
0x2000:0x32       int      9000         readonly

fault 0x2000:0x35=status:0xECA60102     # a warning with the data
fault 0x2000:0x1b=delay:1500ms          # slow to answer

at 20s
fault 0x2000:0x35=none
fault 0x2000:0x31=hang                  # the battery pack is gone
fault 0x2000:0x32=close
