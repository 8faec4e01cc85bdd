// "metrics": the daemon's state in the Prometheus text format, for the node exporter's
// text-file collector.
#pragma once

// Prints every metric the daemon can give; a value it lacks (no INA236, no card, an older
// daemon without a request) is left out. With MODEM also the modem's signal, which takes
// seconds to query. Returns 0, or -1 when the daemon did not answer (after
// "tesmar_gpio_up 0" and the message saying why).
int print_metrics(bool modem);
