// A program importing a function that Windows 7 lacks (Windows 8 added it): the import check
// must refuse it.
#include <windows.h>

int main() {
  FILETIME now;
  GetSystemTimePreciseAsFileTime(&now);
  return static_cast<int>(now.dwLowDateTime & 1);
}
