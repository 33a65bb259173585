// The message box of the tests: records each report instead of showing it.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct RecordedBox {
    std::string caption;
    std::string text;
};

extern std::vector<RecordedBox> recordedBoxes;

// Runs as each box is shown, while the code that reported is still under way.
extern std::function<void(const RecordedBox&)> onRecordedBox;
