#include "filedownloads.h"

FileDownloads::~FileDownloads() = default;
