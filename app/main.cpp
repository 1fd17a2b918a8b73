#include "app/ServerApp.h"

int main(int argc, char** argv) {
    CServerApp app(argc, argv);
    return app.Run();
}
