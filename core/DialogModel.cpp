#include "core/DialogModel.h"

void CDialogModel::SetText(int id, const std::string& text) {
    At(id).text = text;
    Changed(id);
}

void CDialogModel::SetEnabled(int id, bool enabled) {
    At(id).enabled = enabled;
    Changed(id);
}

void CDialogModel::SetChecked(int id, bool checked) {
    At(id).checked = checked;
    Changed(id);
}

void CDialogModel::SetTitle(const std::string& title) {
    title_ = title;
    Changed(0);
}

std::string CDialogModel::Text(int id) const {
    auto it = fields_.find(id);
    return it == fields_.end() ? std::string() : it->second.text;
}

bool CDialogModel::IsEnabled(int id) const {
    auto it = fields_.find(id);
    return it == fields_.end() || it->second.enabled;
}

bool CDialogModel::IsChecked(int id) const {
    auto it = fields_.find(id);
    return it != fields_.end() && it->second.checked;
}

void AppendMessageBoxLine(std::string& box, const std::string& line) {
    int count = 0;
    for (size_t pos = box.find("\r\n"); pos != std::string::npos; pos = box.find("\r\n", pos + 2))
        ++count;
    if (count > 99)
        box.erase(0, box.find("\r\n") + 2);
    box += line;
    box += "\r\n";
}
