#include "desktopsignals.h"

DesktopSignals::~DesktopSignals() = default;
