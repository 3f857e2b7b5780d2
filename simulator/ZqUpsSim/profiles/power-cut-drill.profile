# A rehearsal of a short power cut, for trying a shutdown hook without
# pulling the plug: on line power at first, on battery after 3 seconds,
# the estimated runtime down to 4 minutes after 8 seconds, and the line
# back after 60 seconds, the battery charging again.  The low battery
# lasts long enough for a shutdown agent that waits for its primary
# (upsmon's HOSTSYNC, 15 s, and its polls) to act on it.  Identity data as
# in the default profile.

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

0x2000:0x06       float    230.0        readonly
0x2000:0x35       float    27.5         readonly
0x2000:0x19       float    38.5         readonly
0x2000:0x1a       int      42           readonly
0x2000:0x1b       float    31.0         readonly
0x2000:0x1f       float    0.45         readonly
0x2000:0x37       float    0.00         readonly

at 3s     # the line fails
0x2000:0x06       float    0.0          readonly
0x2000:0x1f       float    0.00         readonly
0x2000:0x37       float    14.20        readonly
0x2000:0x1a       int      12           readonly

at 8s     # the battery runs low
0x2000:0x1a       int      4            readonly
0x2000:0x35       float    29.0         readonly

at 60s    # the line is back
0x2000:0x06       float    230.0        readonly
0x2000:0x37       float    0.00         readonly
0x2000:0x1f       float    2.10         readonly
0x2000:0x1a       int      5            readonly
