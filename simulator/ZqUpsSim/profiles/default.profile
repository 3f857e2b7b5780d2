# A healthy 3 kVA rack UPS on line power: the eighteen data points of
# index 0x2000 that ZqUpsTest reports.  ZqUpsSim serves this profile
# when it is given none.
#
# point           type     value                                   [readonly]

# Identity and dates
0x2000:0x01       text     "Zq Power Systems"                       readonly
0x2000:0x02       text     "ZQ-R3000 RM 2U"                         readonly
0x2000:0x15       text     "ZQR3-2407-004211"                       readonly
0x2000:0x16       text     "4.12.7 (2024-05-02)"                    readonly
0x2000:0x36       text     "BP-ZQR3-1187-22"                        readonly
0x2000:0x03       text     "2024-07-15"                             readonly
0x2000:0x04       text     "online double conversion, 3000 VA / 2700 W, 8 outlets, USB, RS-232, network slot" readonly
0x2000:0x07       text     "(C) 2024 Zq Power Systems. All rights reserved." readonly
# Set by the technician who fits a new battery pack.
0x2000:0x11       text     "2028-07-01"

# Measurements
0x2000:0x06       float    230.0        readonly   # input line voltage, V
0x2000:0x35       float    27.5         readonly   # battery temperature, °C
0x2000:0x31       version  1.2.3        readonly   # battery hardware version
0x2000:0x19       float    38.5         readonly   # load level, %
0x2000:0x1a       int      42           readonly   # estimated runtime, minutes
0x2000:0x1b       float    31.0         readonly   # internal temperature, °C
0x2000:0x1f       float    0.45         readonly   # charging current, A
0x2000:0x37       float    0.00         readonly   # discharging current, A
0x2000:0x32       int      9000         readonly   # battery rated capacity, mAh
