// The usage text of Dromlet as its users see it, byte for byte.
#pragma once

constexpr char kExpectedUsage[] =
    "Dromlet (ANSI)\n"
    "  install  \"<CONTENT_ROOT>\"  \"<SERVICE_EXE_FULL_PATH>\"  [--name <SvcName>] [--display <DisplayName>] "
    "[--start]\n"
    "  start\n"
    "  stop\n"
    "  uninstall\n";
