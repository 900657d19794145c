#include "globals/globals.h"

namespace nv {

std::string Folder;
std::string SQLiteCipher;
bool CipherMode = false;
TRequestLog log;
TStringList Memory;
std::string IPAddess;
std::string SQLname;
std::string SQLbun;

}  // namespace nv
