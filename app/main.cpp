#include "app/tamixapp.h"

int main(int argc, char** argv) {
    tamix::app::CTamixApp app(argc, argv);
    return app.Run();
}
