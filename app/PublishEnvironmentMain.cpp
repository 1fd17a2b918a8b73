// Writes the line LUMERIX2=on into the machine environment file, the way the server does,
// for a service whose server may not write there itself: systemd runs it with privileges
// before the server starts. Usage: publish-environment [FILE]
#include <cstdio>
#include <string>

#include "core/EnvironmentPublisher.h"

int main(int argc, char** argv) {
    const std::string path = argc > 1 ? argv[1] : CEnvironmentPublisher::kDefaultPath;
    if (CEnvironmentPublisher(path).PublishNow())
        return 0;
    std::fprintf(stderr, "publish-environment: could not write %s\n", path.c_str());
    return 1;
}
