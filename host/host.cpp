// (stub until the host logic lands)
#include "host/host.h"
namespace morvane::host {
} // namespace morvane::host
