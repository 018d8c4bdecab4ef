#include "messagebox.h"

MessageBox::~MessageBox() = default;
