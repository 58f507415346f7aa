#include "halvix.h"
ZorvaneWebHelper::ZorvaneWebHelper() : server_(nullptr) {}
ZorvaneWebHelper::~ZorvaneWebHelper() {}
int ZorvaneWebHelper::StartWebServer(char*, int, char*, int&) { return 1; }
