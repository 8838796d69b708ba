// How the notification dialog shows a path: whole when it is short, else its
// head, "..." and its tail, by the room of the screen's orientation.
#pragma once

#include <string>

namespace guard {

// landscape: the screen is wider than high (room for 55 characters, else 43).
std::u16string displayPath(std::u16string_view path, bool landscape);

}  // namespace guard
