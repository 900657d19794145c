#include "app/startup.h"

#include <gtest/gtest.h>

using namespace nv;

TEST(PortRule, FromExecutablePath) {
  struct Case {
    const char* path;
    uint16_t port;
  } cases[] = {
      {"/srv/app：8080.exe", 8080},  {"/srv/app：8080", 8080},    {"/srv/app.exe", 80},
      {"/srv/app：web.exe", 80},     {"/srv：1/app.exe", 80},     {"/srv/app：$1F90.exe", 8080},
      {"/srv/app：70000.exe", 4464}, {"/srv/app：-1.exe", 65535}, {"/srv：8/app：9.x", 80},
      {"/a.b/app：18080", 18080},    {"/srv/a.b：8080", 80},      {"/srv：81/app", 80},
      {"/srv/app：0x50.tar.gz", 80},
  };
  for (const auto& c : cases) EXPECT_EQ(PortFromPath(c.path), c.port) << c.path;
}
