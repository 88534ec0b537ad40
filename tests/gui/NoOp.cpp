// An empty Windows program: how long starting and ending a process takes
// here, to compare a second copy of the updater with.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return 0; }
