// Tavi: the board loader, a wizard that turns a PC into a board's network-boot server.
#include "TaviApp.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int)
{
    CTaviApp app;
    return app.Run(instance, commandLine);
}
