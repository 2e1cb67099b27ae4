#include "app/RFID_LorixApp.h"

int main(int argc, char *argv[])
{
    CRFID_LorixApp app(argc, argv);
    // The whole session runs inside InitInstance; false means there is nothing left to run.
    if (app.InitInstance())
        return app.exec();
    return 0;
}
