// morvek.exe entry. (Placeholder until the window program lands.)
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  ExitProcess(0);
}
