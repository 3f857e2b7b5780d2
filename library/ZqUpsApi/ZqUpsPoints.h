/*
 * ZqUpsPoints.h - the data points of the UPS and its battery that this
 * system knows: where each lives, how long a read of it is, how its bytes
 * read and how the diagnostic report labels it.
 *
 * Header only: the table is returned by a static inline function, so
 * libZqUps exports nothing more for it.  Usable from C and C++.
 */
#ifndef ZQUPSPOINTS_H
#define ZQUPSPOINTS_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

/* Every point below belongs to this index. */
#define UPS_POINTS_INDEX 0x2000u
/* The read length of a text point; a text ends at its first NUL or here. */
#define UPS_POINT_TEXT_LENGTH 512u
/* The read length of every other point. */
#define UPS_POINT_WORD_LENGTH 4u
/* The UPS runs on mains power while input_voltage is at least this many
 * volts (below every 120 V and 230 V grid's lower limit, above anything a
 * UPS reports on battery); the operator's tools take it as their default. */
#define UPS_MIN_LINE_VOLTAGE 100.0
/* How many points the catalogue holds. */
#define UPS_POINT_COUNT 18

/* Offsets within UPS_POINTS_INDEX. */
enum {
  UPS_OFFSET_VENDOR = 0x01,
  UPS_OFFSET_MODEL = 0x02,
  UPS_OFFSET_MANUFACTURING_DATE = 0x03,
  UPS_OFFSET_CAPABILITIES = 0x04,
  UPS_OFFSET_INPUT_VOLTAGE = 0x06,
  UPS_OFFSET_COPYRIGHT = 0x07,
  UPS_OFFSET_BATTERY_REPLACE_DATE = 0x11,
  UPS_OFFSET_SERIAL_NUMBER = 0x15,
  UPS_OFFSET_FIRMWARE_VERSION = 0x16,
  UPS_OFFSET_LOAD_LEVEL = 0x19,
  UPS_OFFSET_ESTIMATED_RUNTIME = 0x1a,
  UPS_OFFSET_INTERNAL_TEMPERATURE = 0x1b,
  UPS_OFFSET_CHARGING_CURRENT = 0x1f,
  UPS_OFFSET_BATTERY_HARDWARE_VERSION = 0x31,
  UPS_OFFSET_BATTERY_RATED_CAPACITY = 0x32,
  UPS_OFFSET_BATTERY_TEMPERATURE = 0x35,
  UPS_OFFSET_BATTERY_SERIAL = 0x36,
  UPS_OFFSET_DISCHARGING_CURRENT = 0x37
};

/* How a point's bytes read, all in host byte order:
 * TEXT     up to UPS_POINT_TEXT_LENGTH bytes, ending at the first NUL;
 * FLOAT    an IEEE 754 single;
 * INTEGER  a signed 32-bit integer;
 * VERSION  major (1 byte), minor (1 byte), build (16 bits). */
typedef enum {
  UPS_POINT_TEXT,
  UPS_POINT_FLOAT,
  UPS_POINT_INTEGER,
  UPS_POINT_VERSION
} UPSPointType;

typedef struct {
  const char* name;     /* lower case with underscores: "input_voltage" */
  uint32_t offset;      /* within UPS_POINTS_INDEX */
  uint32_t readLength;  /* what a read of it asks for */
  UPSPointType type;
  const char* unit;     /* "" for none; "°C" is UTF-8 */
  const char* label;    /* the diagnostic report's label, without ": " */
  int decimals;         /* the report's decimals for a FLOAT, else 0 */
} UPSPoint;

/* The catalogue, in the order of the diagnostic report; UPS_POINT_COUNT
 * rows. */
static inline const UPSPoint* UPSPoints(void) {
  static const UPSPoint points[UPS_POINT_COUNT] = {
      {"vendor", UPS_OFFSET_VENDOR, UPS_POINT_TEXT_LENGTH, UPS_POINT_TEXT, "", "Vendor", 0},
      {"model", UPS_OFFSET_MODEL, UPS_POINT_TEXT_LENGTH, UPS_POINT_TEXT, "", "Model", 0},
      {"serial_number", UPS_OFFSET_SERIAL_NUMBER, UPS_POINT_TEXT_LENGTH, UPS_POINT_TEXT, "",
       "Serial number", 0},
      {"firmware_version", UPS_OFFSET_FIRMWARE_VERSION, UPS_POINT_TEXT_LENGTH, UPS_POINT_TEXT,
       "", "Firmware version", 0},
      {"battery_serial", UPS_OFFSET_BATTERY_SERIAL, UPS_POINT_TEXT_LENGTH, UPS_POINT_TEXT, "",
       "Battery serial string", 0},
      {"manufacturing_date", UPS_OFFSET_MANUFACTURING_DATE, UPS_POINT_TEXT_LENGTH,
       UPS_POINT_TEXT, "", "Manufacturing date", 0},
      {"capabilities", UPS_OFFSET_CAPABILITIES, UPS_POINT_TEXT_LENGTH, UPS_POINT_TEXT, "",
       "Device capabilities", 0},
      {"copyright", UPS_OFFSET_COPYRIGHT, UPS_POINT_TEXT_LENGTH, UPS_POINT_TEXT, "", "Copyright",
       0},
      {"battery_replace_date", UPS_OFFSET_BATTERY_REPLACE_DATE, UPS_POINT_TEXT_LENGTH,
       UPS_POINT_TEXT, "", "Battery replace date", 0},
      {"input_voltage", UPS_OFFSET_INPUT_VOLTAGE, UPS_POINT_WORD_LENGTH, UPS_POINT_FLOAT, "V",
       "Input line voltage", 2},
      {"battery_temperature", UPS_OFFSET_BATTERY_TEMPERATURE, UPS_POINT_WORD_LENGTH,
       UPS_POINT_FLOAT, "\xC2\xB0" "C", "Battery temperature", 1},
      {"battery_hardware_version", UPS_OFFSET_BATTERY_HARDWARE_VERSION, UPS_POINT_WORD_LENGTH,
       UPS_POINT_VERSION, "", "Battery hardware version", 0},
      {"load_level", UPS_OFFSET_LOAD_LEVEL, UPS_POINT_WORD_LENGTH, UPS_POINT_FLOAT, "%",
       "Battery load level", 1},
      {"estimated_runtime", UPS_OFFSET_ESTIMATED_RUNTIME, UPS_POINT_WORD_LENGTH,
       UPS_POINT_INTEGER, "Minutes", "Estimated runtime", 0},
      {"internal_temperature", UPS_OFFSET_INTERNAL_TEMPERATURE, UPS_POINT_WORD_LENGTH,
       UPS_POINT_FLOAT, "\xC2\xB0" "C", "Internal temperature", 1},
      {"charging_current", UPS_OFFSET_CHARGING_CURRENT, UPS_POINT_WORD_LENGTH, UPS_POINT_FLOAT,
       "A", "Charging current", 2},
      {"discharging_current", UPS_OFFSET_DISCHARGING_CURRENT, UPS_POINT_WORD_LENGTH,
       UPS_POINT_FLOAT, "A", "Discharging current", 2},
      {"battery_rated_capacity", UPS_OFFSET_BATTERY_RATED_CAPACITY, UPS_POINT_WORD_LENGTH,
       UPS_POINT_INTEGER, "mAh", "Battery rated capacity", 0}};
  return points;
}

/* The catalogue's row named name, or NULL. */
static inline const UPSPoint* UPSPointByName(const char* name) {
  const UPSPoint* points = UPSPoints();
  int i;
  if (name == NULL) return NULL;
  for (i = 0; i < UPS_POINT_COUNT; ++i)
    if (strcmp(points[i].name, name) == 0) return &points[i];
  return NULL;
}

/* The catalogue's row at (index, offset), or NULL. */
static inline const UPSPoint* UPSPointAt(uint32_t index, uint32_t offset) {
  const UPSPoint* points = UPSPoints();
  int i;
  if (index != UPS_POINTS_INDEX) return NULL;
  for (i = 0; i < UPS_POINT_COUNT; ++i)
    if (points[i].offset == offset) return &points[i];
  return NULL;
}

#endif /* ZQUPSPOINTS_H */
