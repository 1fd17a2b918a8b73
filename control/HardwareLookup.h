#pragma once

#include <string>

#include "config/Settings.h"  // the description's file, section and keys

// Asks the multiplexer named in section SELVEX of `config` for the description of `camId`
// and replaces the file in `programDir` with its answer. Without an answer the file stays
// and the result is true unless the section makes the multiplexer mandatory; false also
// when the answer cannot be stored. Main thread (the call blocks up to 1.1 s).
bool QuerySelvex(const CIniFile& config, const std::string& camId, const std::string& programDir);
