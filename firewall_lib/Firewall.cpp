// libnetkeep: firewall rules and port reservation for board applications.

namespace netkeep {
const char version[] = "1.0";
}
