#include "badgeandnotifications.h"

BadgeAndNotifications::~BadgeAndNotifications() = default;
