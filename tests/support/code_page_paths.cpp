// Every test executable converts paths as tallyrun.exe does from the start of WinMain, so
// the units are tested with the conversion that the program uses.
#include "core/names/code_page.h"

namespace {

const bool paths_use_the_code_page = (use_code_page_for_paths(), true);

}  // namespace
