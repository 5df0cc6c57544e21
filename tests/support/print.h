// Lets GoogleTest print the project's enums by name when an assertion fails.
#pragma once

#include <ostream>

#include "core/file_list.h"

inline void PrintTo(HashStatus status, std::ostream* out) {
  switch (status) {
    case HashStatus::NotOpened: *out << "NotOpened"; return;
    case HashStatus::Incomplete: *out << "Incomplete"; return;
    case HashStatus::Complete: *out << "Complete"; return;
  }
  *out << "HashStatus(" << static_cast<int>(status) << ")";
}
