#include "urlopener.h"

UrlOpener::~UrlOpener() = default;
