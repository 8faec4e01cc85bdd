// Private namespaces for one test process. A private network: a new user and network namespace with only the
// loopback interface, up. Inside it the test may listen on 127.0.0.1:80 and create
// interfaces; programs it starts afterwards share the namespace.
#pragma once

#include <string>

// Enters the namespace. Must run before the test creates any thread. Returns false, with
// the reason in WHY, where the machine does not allow it (tests then skip).
bool enter_private_network(std::string &why);

// Enters a new user and mount namespace with a fresh tmpfs on /home and an empty
// /home/pi, so a test may mount file systems where the card's mounts go. Same rules.
bool enter_private_mounts(std::string &why);
