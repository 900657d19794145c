#include "app/startup.h"

int main() { return nv::StartUp(); }
