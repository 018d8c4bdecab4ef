#include "shell.h"

Shell::~Shell() = default;
