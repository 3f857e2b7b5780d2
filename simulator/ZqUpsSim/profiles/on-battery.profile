# A power cut: the UPS runs on line power for 5 seconds, then the line
# voltage drops to 0 and the UPS carries the load from its battery.  The
# discharging current rises, the runtime falls minute by minute and the
# battery warms up.  Identity data as in the default profile.

0x2000:0x01       text     "Zq Power Systems"           readonly
0x2000:0x02       text     "ZQ-R3000 RM 2U"             readonly
0x2000:0x15       text     "ZQR3-2407-004211"           readonly
0x2000:0x16       text     "4.12.7 (2024-05-02)"        readonly
0x2000:0x36       text     "BP-ZQR3-1187-22"            readonly
0x2000:0x03       text     "2024-07-15"                 readonly
0x2000:0x04       text     "online double conversion, 3000 VA / 2700 W, 8 outlets, USB, RS-232, network slot" readonly
0x2000:0x07       text     "(C) 2024 Zq Power Systems. All rights reserved." readonly
0x2000:0x11       text     "2028-07-01"
0x2000:0x31       version  1.2.3        readonly
0x2000:0x32       int      9000         readonly

0x2000:0x06       float    229.6        readonly
0x2000:0x35       float    27.5         readonly
0x2000:0x19       float    38.5         readonly
0x2000:0x1a       int      42           readonly
0x2000:0x1b       float    31.0         readonly
0x2000:0x1f       float    0.45         readonly
0x2000:0x37       float    0.00         readonly

at 5s     # the line fails
0x2000:0x06       float    0.0          readonly
0x2000:0x1f       float    0.00         readonly
0x2000:0x37       float    14.20        readonly
0x2000:0x1a       int      18           readonly

at 65s
0x2000:0x1a       int      17           readonly
0x2000:0x35       float    28.1         readonly

at 125s
0x2000:0x1a       int      16           readonly
0x2000:0x35       float    28.6         readonly
0x2000:0x37       float    14.35        readonly

at 185s
0x2000:0x1a       int      15           readonly
0x2000:0x35       float    29.0         readonly
