// Lets GoogleTest print the project's enums by name when an assertion fails.
#pragma once

#include <cstdio>
#include <ostream>

#include "core/list/file_list.h"
#include "worker/progress_message.h"

inline void PrintTo(HashStatus status, std::ostream* out) {
  switch (status) {
    case HashStatus::NotOpened: *out << "NotOpened"; return;
    case HashStatus::Incomplete: *out << "Incomplete"; return;
    case HashStatus::Complete: *out << "Complete"; return;
  }
  *out << "HashStatus(" << static_cast<int>(status) << ")";
}

inline void PrintTo(const ProgressReport& report, std::ostream* out) {
  char text[32];
  std::snprintf(text, sizeof text, "{%u %08x}", report.index, report.lparam);
  *out << text;
}
