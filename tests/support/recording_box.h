// The message box of the tests: records each report instead of showing it.
#pragma once

#include <string>
#include <vector>

struct RecordedBox {
    std::string caption;
    std::string text;
};

extern std::vector<RecordedBox> recordedBoxes;
