// Stands in for the platform's message box in unit and GL tests.
#include "recording_box.h"

#include "viewer.h"

std::vector<RecordedBox> recordedBoxes;
std::function<void(const RecordedBox&)> onRecordedBox;

void showMessageBox(const char* caption, const char* text)
{
    recordedBoxes.push_back({caption, text});
    if (onRecordedBox)
        onRecordedBox(recordedBoxes.back());
}
