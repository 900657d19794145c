#include "shell/startup.h"

int main() { return nv::StartUp(); }
