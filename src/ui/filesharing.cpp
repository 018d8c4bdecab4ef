#include "filesharing.h"

FileSharing::~FileSharing() = default;
