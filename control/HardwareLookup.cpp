#include "control/HardwareLookup.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "base/ProgramDir.h"
#include "base/ReplaceFile.h"
#include "config/IniFile.h"
#include "config/Settings.h"
#include "zeft/Zeft.h"

namespace {

constexpr char kSelvexAddressFormat[] = "/%s/%s/MPServer";
constexpr char kSelvexProperty[] = "GetConfigforID";
constexpr uint32_t kSelvexReplyChars = 8192;
constexpr size_t kCamIdBufferBytes = 92;  // camera ids are at most 91 characters
constexpr int16_t kSelvexAccess = 3;
constexpr int32_t kSelvexTimeoutMs = 1100;

}  // namespace

bool QuerySelvex(const CIniFile& config, const std::string& camId, const std::string& programDir) {
    SelvexSettings selvex = ReadSelvexSettings(config);
    std::string address(512, '\0');
    int n = std::snprintf(address.data(), address.size(), kSelvexAddressFormat,
                          selvex.context.c_str(), selvex.serverName.c_str());
    address.resize(n < 0 ? 0 : std::min<size_t>(static_cast<size_t>(n), address.size() - 1));
    char id[kCamIdBufferBytes] = {};
    std::strncpy(id, camId.c_str(), sizeof id - 1);

    std::vector<char> reply(kSelvexReplyChars + 1, '\0');  // one zero always stays behind
    ZeftData request;
    request.data = id;
    request.format = kZeftFormatChar;
    request.count = static_cast<uint32_t>(std::strlen(id));
    request.capacity = request.count;
    ZeftData answer;
    answer.data = reply.data();
    answer.format = kZeftFormatChar;
    answer.capacity = kSelvexReplyChars;
    if (ExecLinkEx(address.c_str(), kSelvexProperty, &answer, &request, kSelvexAccess,
                   kSelvexTimeoutMs) != 0)
        return selvex.mandatory == 0;
    const size_t length = std::min<size_t>(answer.count, kSelvexReplyChars);
    // A crash mid-write must not leave half a description for the next start.
    return ReplaceFileAtomically(JoinPath(programDir, kHardwareFileName),
                                 std::string_view(reply.data(), length));
}
