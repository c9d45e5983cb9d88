// QUVOConnect: remote control of the QUVO softphone from the console.
#include <iostream>

#include "console/CommandLoop.h"
#include "platform/Startup.h"

int main() {
    return quvo::RunConsole(quvo::platform::InitializeFramework, std::cin);
}
