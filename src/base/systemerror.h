#pragma once

#include <QString>

// What a system error (errno) means, in the words the program speaks to its user: never the C
// library's own text, which is English, or whatever the C locale says.
namespace SystemError {

// "ディスクがいっぱいです"; an unusual error is named by its number.
QString text(int error);

} // namespace SystemError
