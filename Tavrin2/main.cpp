#include "ProgramMain.h"
#include "Tavrin2.h"

int main(int argc, char *argv[])
{
    return ProgramMain::main<CMy2App>(argc, argv, QStringLiteral("Tavrin2"));
}
