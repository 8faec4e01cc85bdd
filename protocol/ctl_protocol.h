// Wire format of the control socket shared by tesmar_gpio and tesmar_gpioctl.
//
// Records are packed byte layouts in the board's (little-endian) byte order;
// IPv4 addresses and netmasks are kept in network byte order as in_addr holds
// them. Text fields are NUL-terminated and zero-padded. Every byte a command
// does not define is zero.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

static_assert(std::endian::native == std::endian::little,
              "the control records are sent as they lie in memory, which assumes a little-endian host");

inline constexpr const char CTL_SOCKET_PATH[] = "/var/run/tesmar_gpio.sock";

// Command codes carried in ControlRequest::cmd.
enum : std::uint8_t {
    CMD_LED_ON = 1,
    CMD_LED_OFF = 2,
    CMD_LED_TOGGLE = 3,
    CMD_LED_BLINK = 4,
    CMD_LED_GET = 5,
    CMD_BEEP_ON = 6,
    CMD_BEEP_OFF = 7,
    CMD_BEEP_ONCE = 8,
    CMD_BEEP_ALARM = 9,
    CMD_POWER_STATUS = 10,
    CMD_12V_ON = 11,
    CMD_12V_OFF = 12,
    CMD_12V_GET = 13,
    CMD_INPUT_4G = 14,
    CMD_INPUT_WIFI = 15,
    CMD_INPUT_VALID1 = 16,
    CMD_INPUT_VALID2 = 17,
    CMD_INPUT_ALL = 18,
    CMD_STATUS_ALL = 19,
    CMD_SYSINFO = 21,
    CMD_4G_TOGGLE = 30,
    CMD_WIFI_TOGGLE = 31,
    CMD_4G_STATUS = 32,
    CMD_WIFI_STATUS = 33,
    CMD_BATTERY = 34,
    CMD_RTTY_ON = 35,
    CMD_RTTY_OFF = 36,
    CMD_RTTY_STATUS = 37,
    CMD_VERSION = 38,
    CMD_4G_INFO = 39,
    CMD_INA236 = 40,
    CMD_SDCARD_REMOVE = 41,
    CMD_SDCARD_STATUS = 42,
    // Additions: codes from 64 up, so every earlier code keeps its meaning.
    CMD_4G_SET = 64,         // param 0 off, nonzero on; ControlReply: byte 1 switch, byte 2 changed
    CMD_WIFI_SET = 65,       // the same for the WiFi switch
    CMD_LINK_STATE = 66,     // LinkStateRecord
    CMD_SDCARD_STATE = 67,   // SdCardStateRecord
    CMD_WATCH = 68,          // ControlReply, then (STATUS_OK) a stream of WatchRecord
    CMD_COUNTERS = 69,       // CountersRecord
};

// CountersRecord::values, by position: events counted since the daemon started.
enum : std::uint8_t {
    COUNTER_KEY_4G = 0,        // accepted presses of the 4G key (each one toggled the switch)
    COUNTER_KEY_WIFI = 1,      // accepted presses of the WiFi key
    COUNTER_REDIAL_4G = 2,     // dial attempts after a failed or lost 4G link
    COUNTER_RECOVERY_WIFI = 3, // access-point recoveries started after a failed health check
    COUNTER_RECOVERY_SDCARD = 4,  // card mounts brought back by the SD card recovery
    COUNTER_EJECT_SDCARD = 5,  // ejects that found a card mount to unmount
    COUNTER_KNOWN = 6,         // counters this build keeps
    COUNTER_SLOTS = 8,         // room in the record; later counters take the free slots
};

// WatchRecord::kind. The ids: an input by its CMD_INPUT_ALL byte (0 4G, 1 VALID1, 2 VALID2,
// 3 WIFI); a switch or link 0 4G, 1 WiFi; the card 0.
enum : std::uint8_t {
    WATCH_INPUT = 1,       // value: the level, 1 high, 0 low
    WATCH_SWITCH = 2,      // value: 1 on, 0 off
    WATCH_LINK = 3,        // value: LINK_REPORT_*
    WATCH_CARD_STATE = 4,  // value: SDCARD_STATE_*
    WATCH_CARD_MOUNT = 5,  // value: 1 a card mount exists, 0 none; mount_point: its point
    WATCH_LOST = 6,        // the stream fell behind: records were dropped, current values follow
};

// CMD_WATCH refused: ControlReply with STATUS_FAILED and byte 1 the reason.
inline constexpr std::uint8_t WATCH_REFUSED_FULL = 1;  // as many watchers as the daemon takes

// LinkStateRecord link states: the daemon's link state, with a recovery told apart from
// a link that has given up.
enum : std::uint8_t {
    LINK_REPORT_OFF = 0,
    LINK_REPORT_STARTING = 1,  // 4G: dialing; WiFi: the start script runs
    LINK_REPORT_UP = 2,
    LINK_REPORT_RECOVERING = 3,  // failed, and another attempt is under way or due
    LINK_REPORT_FAILED = 4,      // failed, and no attempt is due
};

// SdCardStateRecord::recovery_state: the recovery thread's state.
enum : std::uint8_t {
    SDCARD_STATE_MOUNTED = 0,
    SDCARD_STATE_DEGRADED = 1,
    SDCARD_STATE_UNBOUND = 2,
    SDCARD_STATE_REMOUNTING = 3,
};

// A yes/no field whose value the daemon does not know.
inline constexpr std::uint8_t FLAG_UNKNOWN = 255;

// ControlReply::status.
enum : std::uint8_t {
    STATUS_OK = 0,
    STATUS_FAILED = 1,
    STATUS_UNKNOWN_COMMAND = 2,
    STATUS_BAD_LENGTH = 3,
};

// SdCardRemoveReply::result.
enum : std::uint8_t {
    SDCARD_REMOVE_OK = 0,
    SDCARD_REMOVE_NONE = 1,
    SDCARD_REMOVE_PARTIAL = 2,
};

// SysInfoRecord::default_route.
enum : std::uint8_t {
    ROUTE_END1 = 0,
    ROUTE_END2 = 1,
    ROUTE_WLAN0 = 2,
    ROUTE_WWAN = 3,
    ROUTE_NONE = 255,
};

inline constexpr std::uint8_t SYSINFO_VERSION = 1;
inline constexpr std::uint8_t SDCARD_STATUS_VERSION = 1;
inline constexpr std::uint8_t BATTERY_NA = 255;
inline constexpr std::uint8_t SYSINFO_FIXED_99 = 99;
inline constexpr std::uint8_t MODEM_NO_VALUE = 99;

// The daemon's version; its revision and date come from the build (tesmar_version.h).
inline constexpr const char VERSION_NUMBER[] = "1.5.0";

#pragma pack(push, 1)

struct ControlRequest {
    std::uint8_t cmd;
    std::uint8_t index;   // LED index for the LED commands
    std::uint16_t param;  // blink frequency or beep length
    std::uint8_t reserved[4];
};

struct ControlReply {
    std::uint8_t status;
    std::uint8_t data[15];  // data[0] is byte 1 of the reply
};

// Reply to CMD_INA236.
struct Ina236Reply {
    std::uint8_t status;
    std::uint16_t bus_mv;
    std::int16_t current_ma;  // negative while the current flows back
    std::uint32_t power_uw;
    std::uint8_t unused[7];
};

// Reply to CMD_SDCARD_REMOVE.
struct SdCardRemoveReply {
    std::uint8_t status;
    std::uint8_t result;
    std::uint8_t found;
    std::uint8_t unmounted;
    std::uint8_t killed;
    std::uint8_t unused[11];
};

struct SysInfoRecord {
    std::uint8_t version;
    std::uint8_t status;
    std::int16_t cpu_temp;  // tenths of a degree Celsius
    std::uint64_t mem_total_kib;
    std::uint64_t mem_avail_kib;
    std::uint64_t sd_total_kib;
    std::uint64_t sd_free_kib;
    std::uint64_t uptime_s;
    std::uint32_t load1_x100;
    std::uint32_t load5_x100;
    std::uint32_t load15_x100;
    std::uint32_t end1_addr;  // network byte order, as in_addr
    std::uint32_t end1_mask;
    std::uint32_t end2_addr;
    std::uint32_t end2_mask;
    std::uint32_t wlan0_addr;
    std::uint32_t wlan0_mask;
    std::uint32_t wwan_addr;
    std::uint32_t wwan_mask;
    std::uint8_t default_route;
    std::uint8_t battery_pct;
    std::uint8_t fixed_99;
    std::uint8_t unused;
};

struct ModemInfoRecord {
    std::uint8_t status;  // 0 queried, 1 AT port could not be opened
    std::uint8_t rssi;
    std::uint8_t ber;
    std::uint8_t reg_status;
    std::uint8_t access_tech;
    char iccid[24];
    char imsi[20];
    char operator_name[20];
    std::uint16_t mcc;
    std::uint8_t mnc;
    std::uint16_t tac;  // shown by the client after "TAC="
    std::uint32_t cell_id;
    std::uint8_t band;
    std::uint16_t pci;
    std::int16_t rsrp;
    std::int16_t rsrq;
    std::uint8_t connected;
    std::uint8_t unused[3];
};

struct SdCardStatusRecord {
    std::uint8_t version;
    std::uint8_t status;  // 0 at least one card mount, 1 none
    std::uint8_t partitions;
    std::uint8_t unused3;
    std::uint64_t total_kib;
    std::uint64_t free_kib;
    std::uint32_t process_count;
    std::uint8_t unused24[4];
    char mounts[96];
    char processes[96];
};

// "v%s git:%s built:%s", sent without a terminating NUL.
struct VersionText {
    char text[35];
};

// Reply to CMD_LINK_STATE (32 bytes).
struct LinkStateRecord {
    std::uint8_t version;  // LINK_STATE_VERSION
    std::uint8_t status;   // always 0
    std::uint8_t switch_4g;     // 1 on, 0 off
    std::uint8_t state_4g;      // LINK_REPORT_*
    std::uint8_t attempts_4g;   // dial attempts since the link was last up or off (saturates at 255)
    std::uint8_t iface_4g_up;   // 1 when the modem's interface is up
    std::uint8_t unused6[2];
    std::int32_t dialer_pid;    // the connection manager's pid; -1 when none runs
    std::uint8_t switch_wifi;
    std::uint8_t state_wifi;
    std::uint8_t attempts_wifi;  // access-point recoveries tried since it was last healthy
    std::uint8_t unused15[17];
};

// Reply to CMD_SDCARD_STATE (112 bytes).
struct SdCardStateRecord {
    std::uint8_t version;         // SDCARD_STATE_VERSION
    std::uint8_t status;          // always 0
    std::uint8_t recovery_state;  // SDCARD_STATE_*
    std::uint8_t eject_hold;      // 1 an eject keeps the card unmounted, 0 not, FLAG_UNKNOWN
    std::uint8_t mounted;         // 1 when a card mount is in the mount table
    std::uint8_t unused5[3];
    char mount_point[104];        // the first card mount's point; empty when none
};

// One change on a CMD_WATCH stream (120 bytes). After the ControlReply with STATUS_OK
// (byte 1 WATCH_VERSION, byte 2 the record size), the daemon sends one record per current
// value, then one per change as it happens, until either side closes.
struct WatchRecord {
    std::uint8_t version;  // WATCH_VERSION
    std::uint8_t kind;     // WATCH_*
    std::uint8_t id;
    std::uint8_t value;
    std::uint32_t sequence;  // counts the stream's records from 0
    std::uint64_t time_ns;   // the daemon's monotonic clock when the change was posted
    char mount_point[104];   // WATCH_CARD_MOUNT only; empty when none
};

// Reply to CMD_COUNTERS (72 bytes). Counters only grow while the daemon runs and start
// again from 0 when it restarts; a reader takes values[i] only for i below count.
struct CountersRecord {
    std::uint8_t version;  // COUNTERS_VERSION
    std::uint8_t status;   // always 0
    std::uint8_t count;    // the values the daemon fills, from the front (COUNTER_KNOWN)
    std::uint8_t unused3[5];
    std::uint64_t values[COUNTER_SLOTS];  // COUNTER_*
};

#pragma pack(pop)

inline constexpr std::uint8_t WATCH_VERSION = 1;
inline constexpr std::uint8_t COUNTERS_VERSION = 1;
inline constexpr std::uint8_t LINK_STATE_VERSION = 1;
inline constexpr std::uint8_t SDCARD_STATE_VERSION = 1;

// The layouts are fixed on the wire; any drift must break the build.
static_assert(sizeof(ControlRequest) == 8);
static_assert(offsetof(ControlRequest, cmd) == 0);
static_assert(offsetof(ControlRequest, index) == 1);
static_assert(offsetof(ControlRequest, param) == 2);
static_assert(offsetof(ControlRequest, reserved) == 4);

static_assert(sizeof(ControlReply) == 16);
static_assert(offsetof(ControlReply, status) == 0);
static_assert(offsetof(ControlReply, data) == 1);

static_assert(sizeof(Ina236Reply) == 16);
static_assert(offsetof(Ina236Reply, bus_mv) == 1);
static_assert(offsetof(Ina236Reply, current_ma) == 3);
static_assert(offsetof(Ina236Reply, power_uw) == 5);
static_assert(offsetof(Ina236Reply, unused) == 9);

static_assert(sizeof(SdCardRemoveReply) == 16);
static_assert(offsetof(SdCardRemoveReply, result) == 1);
static_assert(offsetof(SdCardRemoveReply, found) == 2);
static_assert(offsetof(SdCardRemoveReply, unmounted) == 3);
static_assert(offsetof(SdCardRemoveReply, killed) == 4);
static_assert(offsetof(SdCardRemoveReply, unused) == 5);

static_assert(sizeof(SysInfoRecord) == 92);
static_assert(offsetof(SysInfoRecord, status) == 1);
static_assert(offsetof(SysInfoRecord, cpu_temp) == 2);
static_assert(offsetof(SysInfoRecord, mem_total_kib) == 4);
static_assert(offsetof(SysInfoRecord, mem_avail_kib) == 12);
static_assert(offsetof(SysInfoRecord, sd_total_kib) == 20);
static_assert(offsetof(SysInfoRecord, sd_free_kib) == 28);
static_assert(offsetof(SysInfoRecord, uptime_s) == 36);
static_assert(offsetof(SysInfoRecord, load1_x100) == 44);
static_assert(offsetof(SysInfoRecord, load5_x100) == 48);
static_assert(offsetof(SysInfoRecord, load15_x100) == 52);
static_assert(offsetof(SysInfoRecord, end1_addr) == 56);
static_assert(offsetof(SysInfoRecord, end1_mask) == 60);
static_assert(offsetof(SysInfoRecord, end2_addr) == 64);
static_assert(offsetof(SysInfoRecord, end2_mask) == 68);
static_assert(offsetof(SysInfoRecord, wlan0_addr) == 72);
static_assert(offsetof(SysInfoRecord, wlan0_mask) == 76);
static_assert(offsetof(SysInfoRecord, wwan_addr) == 80);
static_assert(offsetof(SysInfoRecord, wwan_mask) == 84);
static_assert(offsetof(SysInfoRecord, default_route) == 88);
static_assert(offsetof(SysInfoRecord, battery_pct) == 89);
static_assert(offsetof(SysInfoRecord, fixed_99) == 90);
static_assert(offsetof(SysInfoRecord, unused) == 91);

static_assert(sizeof(ModemInfoRecord) == 89);
static_assert(offsetof(ModemInfoRecord, rssi) == 1);
static_assert(offsetof(ModemInfoRecord, ber) == 2);
static_assert(offsetof(ModemInfoRecord, reg_status) == 3);
static_assert(offsetof(ModemInfoRecord, access_tech) == 4);
static_assert(offsetof(ModemInfoRecord, iccid) == 5);
static_assert(offsetof(ModemInfoRecord, imsi) == 29);
static_assert(offsetof(ModemInfoRecord, operator_name) == 49);
static_assert(offsetof(ModemInfoRecord, mcc) == 69);
static_assert(offsetof(ModemInfoRecord, mnc) == 71);
static_assert(offsetof(ModemInfoRecord, tac) == 72);
static_assert(offsetof(ModemInfoRecord, cell_id) == 74);
static_assert(offsetof(ModemInfoRecord, band) == 78);
static_assert(offsetof(ModemInfoRecord, pci) == 79);
static_assert(offsetof(ModemInfoRecord, rsrp) == 81);
static_assert(offsetof(ModemInfoRecord, rsrq) == 83);
static_assert(offsetof(ModemInfoRecord, connected) == 85);
static_assert(offsetof(ModemInfoRecord, unused) == 86);

static_assert(sizeof(SdCardStatusRecord) == 220);
static_assert(offsetof(SdCardStatusRecord, status) == 1);
static_assert(offsetof(SdCardStatusRecord, partitions) == 2);
static_assert(offsetof(SdCardStatusRecord, unused3) == 3);
static_assert(offsetof(SdCardStatusRecord, total_kib) == 4);
static_assert(offsetof(SdCardStatusRecord, free_kib) == 12);
static_assert(offsetof(SdCardStatusRecord, process_count) == 20);
static_assert(offsetof(SdCardStatusRecord, unused24) == 24);
static_assert(offsetof(SdCardStatusRecord, mounts) == 28);
static_assert(offsetof(SdCardStatusRecord, processes) == 124);

static_assert(sizeof(VersionText) == 35);

static_assert(sizeof(LinkStateRecord) == 32);
static_assert(offsetof(LinkStateRecord, state_4g) == 3);
static_assert(offsetof(LinkStateRecord, attempts_4g) == 4);
static_assert(offsetof(LinkStateRecord, iface_4g_up) == 5);
static_assert(offsetof(LinkStateRecord, dialer_pid) == 8);
static_assert(offsetof(LinkStateRecord, switch_wifi) == 12);
static_assert(offsetof(LinkStateRecord, state_wifi) == 13);
static_assert(offsetof(LinkStateRecord, attempts_wifi) == 14);

static_assert(sizeof(SdCardStateRecord) == 112);
static_assert(offsetof(SdCardStateRecord, recovery_state) == 2);
static_assert(offsetof(SdCardStateRecord, eject_hold) == 3);
static_assert(offsetof(SdCardStateRecord, mounted) == 4);
static_assert(offsetof(SdCardStateRecord, mount_point) == 8);

static_assert(sizeof(WatchRecord) == 120);
static_assert(offsetof(WatchRecord, kind) == 1);
static_assert(offsetof(WatchRecord, value) == 3);
static_assert(offsetof(WatchRecord, sequence) == 4);
static_assert(offsetof(WatchRecord, time_ns) == 8);
static_assert(offsetof(WatchRecord, mount_point) == 16);
static_assert(sizeof(CountersRecord) == 72);
static_assert(offsetof(CountersRecord, status) == 1);
static_assert(offsetof(CountersRecord, count) == 2);
static_assert(offsetof(CountersRecord, values) == 8);
static_assert(COUNTER_KNOWN <= COUNTER_SLOTS);
