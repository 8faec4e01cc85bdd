#include "gpio.h"
#include "log.h"

#include "board_root.h"

#include <gpiod.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace {

static_assert(static_cast<int>(std::size(BOARD_OUTPUT_LINES)) == GPIO_OUTPUT_COUNT - GPIO_LED_LINE_COUNT);

// The ids name the rows they stand for.
constexpr bool line_is(const gpio_line_def &line, std::string_view name) { return line.name == name; }
static_assert(line_is(BOARD_OUTPUT_LINES[OUT_BEEP - GPIO_LED_LINE_COUNT], "BEEP") &&
              line_is(BOARD_OUTPUT_LINES[OUT_VOUT12V - GPIO_LED_LINE_COUNT], "VOUT12V") &&
              line_is(BOARD_OUTPUT_LINES[OUT_NA - GPIO_LED_LINE_COUNT], "NA"));
static_assert(line_is(BOARD_INPUT_LINES[IN_4G], "4G") && line_is(BOARD_INPUT_LINES[IN_VALID1], "VALID1") &&
              line_is(BOARD_INPUT_LINES[IN_VALID2], "VALID2") && line_is(BOARD_INPUT_LINES[IN_WIFI], "WIFI"));

constexpr std::array<gpio_line_def, GPIO_OUTPUT_COUNT> output_lines()
{
    std::array<gpio_line_def, GPIO_OUTPUT_COUNT> lines{};
    std::size_t n = 0;
    for (const board_led &led : BOARD_LEDS)
        lines[n++] = led.line;
    for (const gpio_line_def &line : BOARD_OUTPUT_LINES)
        lines[n++] = line;
    return lines;
}

}  // namespace

const std::array<gpio_line_def, GPIO_OUTPUT_COUNT> gpio_output_lines = output_lines();

namespace {

struct chip_entry {
    std::string path;  // as the table names it, compared by content
    gpiod_chip *chip = nullptr;
    // The chip refused edge detection once: its other inputs are polled without asking.
    bool edges_refused = false;
};

// Long enough to swallow a contact's bounce, short enough that a 20 ms press is seen;
// the kernel emulates it where the chip has no debounce of its own.
constexpr unsigned long INPUT_DEBOUNCE_US = 5000;
// Events taken per read; the input thread reads again while more wait.
constexpr std::size_t EDGE_BUFFER_EVENTS = 16;

struct output_line {
    gpiod_line_request *request = nullptr;
    unsigned int offset = 0;
    // Two clients may drive VOUT12V at the same moment. Driving the line and remembering
    // the value happen together under this lock, so the remembered value is always the
    // one the line was driven to last; apart, the two could land in opposite orders.
    std::mutex lock;
    // Read without the lock by gpio_get_output.
    std::atomic<int> value{0};
};

struct input_line {
    gpiod_line_request *request = nullptr;
    unsigned int offset = 0;
    // Only while the line is requested with edge detection.
    gpiod_edge_event_buffer *edges = nullptr;
};

// Requests and the chip cache change only on the main thread while no other thread
// uses the lines (init before the service threads start, cleanup after they stop).
struct gpio_state {
    chip_entry chips[GPIO_MAX_CHIPS];
    int chip_count = 0;
    output_line outputs[GPIO_OUTPUT_COUNT];
    input_line inputs[GPIO_INPUT_COUNT];
} gpio;

bool output_id_valid(int id) { return static_cast<unsigned>(id) < GPIO_OUTPUT_COUNT; }
bool input_id_valid(int id) { return static_cast<unsigned>(id) < GPIO_INPUT_COUNT; }

struct settings_deleter {
    void operator()(gpiod_line_settings *s) const { gpiod_line_settings_free(s); }
};
struct config_deleter {
    void operator()(gpiod_line_config *c) const { gpiod_line_config_free(c); }
};

enum class line_kind { output, input, input_edges };

// Requests one line on its own request; the settings and config are freed on every path.
// Returns nullptr after writing the failure message.
// With edges, a refusal of the request itself sets REFUSED and says nothing: the caller
// tries again without them.
gpiod_line_request *request_line(const gpio_line_def &def, line_kind kind, bool *refused = nullptr)
{
    gpiod_chip *chip = gpio_get_chip(def.chip_path);
    if (chip == nullptr) {
        log_err(LOG_ERR, "Chip not found for %s\n", def.name);
        return nullptr;
    }

    std::unique_ptr<gpiod_line_settings, settings_deleter> settings(gpiod_line_settings_new());
    if (!settings) {
        log_err(LOG_ERR, "Failed to create line settings\n");
        return nullptr;
    }
    // The setters only fail for values outside their enumerations.
    if (kind == line_kind::output) {
        gpiod_line_settings_set_direction(settings.get(), GPIOD_LINE_DIRECTION_OUTPUT);
        gpiod_line_settings_set_output_value(settings.get(), GPIOD_LINE_VALUE_INACTIVE);
        gpiod_line_settings_set_drive(settings.get(), GPIOD_LINE_DRIVE_PUSH_PULL);
    } else {
        gpiod_line_settings_set_direction(settings.get(), GPIOD_LINE_DIRECTION_INPUT);
        gpiod_line_settings_set_bias(settings.get(), GPIOD_LINE_BIAS_PULL_UP);
        if (kind == line_kind::input_edges) {
            gpiod_line_settings_set_edge_detection(settings.get(), GPIOD_LINE_EDGE_BOTH);
            gpiod_line_settings_set_debounce_period_us(settings.get(), INPUT_DEBOUNCE_US);
        }
    }

    std::unique_ptr<gpiod_line_config, config_deleter> config(gpiod_line_config_new());
    if (!config) {
        log_err(LOG_ERR, "Failed to create line config\n");
        return nullptr;
    }

    const unsigned int offset = def.offset;
    if (gpiod_line_config_add_line_settings(config.get(), &offset, 1, settings.get()) < 0) {
        if (kind == line_kind::output)
            log_err(LOG_ERR, "Failed to add line settings for %s: %s\n", def.name, strerror(errno));
        else
            log_err(LOG_ERR, "Failed to add line settings for %s\n", def.name);
        return nullptr;
    }

    gpiod_line_request *request = gpiod_chip_request_lines(chip, nullptr, config.get());
    // The kernel refuses edges on a line without an interrupt (ENXIO) or a chip that
    // cannot detect them (EOPNOTSUPP, EINVAL); any other failure is the line's own.
    if (request == nullptr && kind == line_kind::input_edges &&
        (errno == ENXIO || errno == EOPNOTSUPP || errno == EINVAL)) {
        *refused = true;
        return nullptr;
    }
    if (request == nullptr) {
        log_err(LOG_ERR, kind == line_kind::output ? "Failed to request line for %s: %s\n"
                                                  : "Failed to request input line for %s: %s\n",
                def.name, strerror(errno));
    }
    return request;
}

chip_entry *chip_of(const char *path)
{
    for (int i = 0; i < gpio.chip_count; i++) {
        if (gpio.chips[i].path == path)
            return &gpio.chips[i];
    }
    return nullptr;
}

// An input with edge detection when its chip gives it, else one that is polled; the first
// refusal of a chip is logged, and its later lines are not asked again.
gpiod_line_request *request_input(const gpio_line_def &def, input_line &line)
{
    if (gpio_get_chip(def.chip_path) == nullptr) {
        log_err(LOG_ERR, "Chip not found for %s\n", def.name);
        return nullptr;
    }
    chip_entry *chip = chip_of(def.chip_path);
    if (chip->edges_refused)
        return request_line(def, line_kind::input);
    bool refused = false;
    gpiod_line_request *request = request_line(def, line_kind::input_edges, &refused);
    if (request != nullptr) {
        line.edges = gpiod_edge_event_buffer_new(EDGE_BUFFER_EVENTS);
        if (line.edges == nullptr) {
            log_err(LOG_ERR, "Failed to create edge event buffer for %s\n", def.name);
            gpiod_line_request_release(request);
            return nullptr;
        }
        return request;
    }
    if (!refused)
        return nullptr;
    const int err = errno;
    request = request_line(def, line_kind::input);
    if (request != nullptr) {
        chip->edges_refused = true;
        log_err(LOG_WARNING, "GPIO: No edge events from %s (%s), its inputs are polled\n", def.chip_path,
                strerror(err));
    }
    return request;
}

// Called with the line's lock held.
int drive_locked(int id, int value)
{
    output_line &line = gpio.outputs[id];
    const auto level = value != 0 ? GPIOD_LINE_VALUE_ACTIVE : GPIOD_LINE_VALUE_INACTIVE;
    if (gpiod_line_request_set_value(line.request, line.offset, level) < 0) {
        log_err(LOG_ERR, "Failed to set %s: %s\n", gpio_output_lines[id].name, strerror(errno));
        return -1;
    }
    line.value.store(value);
    return 0;
}

}  // namespace

gpiod_chip *gpio_get_chip(const char *path)
{
    for (int i = 0; i < gpio.chip_count; i++) {
        if (gpio.chips[i].path == path)
            return gpio.chips[i].chip;
    }
    if (gpio.chip_count >= GPIO_MAX_CHIPS) {
        log_err(LOG_ERR, "Too many chips\n");
        return nullptr;
    }
    gpiod_chip *chip = gpiod_chip_open(board_path(path).c_str());
    if (chip == nullptr) {
        log_err(LOG_ERR, "Failed to open %s: %s\n", path, strerror(errno));
        return nullptr;
    }
    gpio.chips[gpio.chip_count].path = path;
    gpio.chips[gpio.chip_count].chip = chip;
    gpio.chip_count++;
    return chip;
}

int gpio_init()
{
    // A repeated init must not leak the chips of the first one.
    for (int i = 0; i < gpio.chip_count; i++) {
        gpiod_chip_close(gpio.chips[i].chip);
        gpio.chips[i] = chip_entry{};
    }
    gpio.chip_count = 0;

    for (const gpio_line_def &def : gpio_output_lines) {
        if (gpio_get_chip(def.chip_path) == nullptr)
            return -1;
    }
    for (const gpio_line_def &def : gpio_input_lines) {
        if (gpio_get_chip(def.chip_path) == nullptr)
            return -1;
    }
    log_out(LOG_INFO, "GPIO: Opened %d chips\n", gpio.chip_count);
    return 0;
}

int gpio_init_outputs()
{
    for (int id = 0; id < GPIO_OUTPUT_COUNT; id++) {
        const gpio_line_def &def = gpio_output_lines[id];
        if (id < GPIO_LED_LINE_COUNT) {
            log_out(LOG_INFO, "GPIO: Skipping %s (managed by kernel gpio-leds)\n", def.name);
            continue;
        }
        output_line &line = gpio.outputs[id];
        line.offset = def.offset;
        line.request = request_line(def, line_kind::output);
        if (line.request == nullptr)
            return -1;
        line.value.store(0);
        log_out(LOG_INFO, "GPIO: Initialized output %s (offset %u)\n", def.name, line.offset);
    }
    return 0;
}

int gpio_init_inputs()
{
    for (int id = 0; id < GPIO_INPUT_COUNT; id++) {
        const gpio_line_def &def = gpio_input_lines[id];
        input_line &line = gpio.inputs[id];
        line.offset = def.offset;
        line.request = request_input(def, line);
        if (line.request == nullptr)
            return -1;
        log_out(LOG_INFO, "GPIO: Initialized input %s (offset %u)\n", def.name, line.offset);
    }
    return 0;
}

int gpio_set_output(int id, int value)
{
    if (!output_id_valid(id) || gpio.outputs[id].request == nullptr)
        return -1;
    std::lock_guard guard(gpio.outputs[id].lock);
    return drive_locked(id, value);
}

int gpio_get_output(int id)
{
    if (!output_id_valid(id))
        return -1;
    return gpio.outputs[id].value.load();
}

int gpio_toggle_output(int id)
{
    if (!output_id_valid(id) || gpio.outputs[id].request == nullptr)
        return -1;
    std::lock_guard guard(gpio.outputs[id].lock);
    return drive_locked(id, gpio.outputs[id].value.load() == 0 ? 1 : 0);
}

int gpio_get_input(int id)
{
    if (!input_id_valid(id) || gpio.inputs[id].request == nullptr)
        return -1;
    const input_line &line = gpio.inputs[id];
    switch (gpiod_line_request_get_value(line.request, line.offset)) {
    case GPIOD_LINE_VALUE_ACTIVE:
        return 1;
    case GPIOD_LINE_VALUE_INACTIVE:
        return 0;
    default:
        return -1;
    }
}

int gpio_input_event_fd(int id)
{
    if (!input_id_valid(id) || gpio.inputs[id].edges == nullptr)
        return -1;
    return gpiod_line_request_get_fd(gpio.inputs[id].request);
}

int gpio_read_input_edges(int id, int *levels, int max)
{
    if (!input_id_valid(id) || gpio.inputs[id].edges == nullptr || max <= 0)
        return -1;
    input_line &line = gpio.inputs[id];
    const std::size_t want = std::min(static_cast<std::size_t>(max), EDGE_BUFFER_EVENTS);
    const int count = gpiod_line_request_read_edge_events(line.request, line.edges, want);
    for (int i = 0; i < count; i++) {
        gpiod_edge_event *event = gpiod_edge_event_buffer_get_event(line.edges, static_cast<unsigned long>(i));
        levels[i] = gpiod_edge_event_get_event_type(event) == GPIOD_EDGE_EVENT_RISING_EDGE ? 1 : 0;
    }
    return count;
}

const char *gpio_input_name(int id)
{
    return input_id_valid(id) ? gpio_input_lines[id].name : "";
}

const char *gpio_output_name(int id)
{
    return output_id_valid(id) ? gpio_output_lines[id].name : "";
}

void gpio_cleanup()
{
    for (output_line &line : gpio.outputs) {
        if (line.request != nullptr) {
            gpiod_line_request_release(line.request);
            line.request = nullptr;
        }
    }
    for (input_line &line : gpio.inputs) {
        if (line.request != nullptr) {
            gpiod_line_request_release(line.request);
            line.request = nullptr;
        }
        if (line.edges != nullptr) {
            gpiod_edge_event_buffer_free(line.edges);
            line.edges = nullptr;
        }
    }
    for (int i = 0; i < gpio.chip_count; i++) {
        gpiod_chip_close(gpio.chips[i].chip);
        gpio.chips[i] = chip_entry{};
    }
    gpio.chip_count = 0;
}
