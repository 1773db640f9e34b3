// main.cpp - entry point of the qmveskar discovery command.
#include "discovery.h"

int main(int argc, char **argv) { return DiscoveryMain(argc, argv); }
