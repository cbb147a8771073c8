#include "ProgramMain.h"
#include "Tavrin.h"

int main(int argc, char *argv[])
{
    return ProgramMain::main<CMyApp>(argc, argv, QStringLiteral("Tavrin"));
}
