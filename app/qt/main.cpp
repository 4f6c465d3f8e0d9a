// q9-updater: the desktop updater for the ARKO Q9.
#include "app/qt/pel_updator_app.h"

int main(int argc, char** argv)
{
    return theApp.Run(argc, argv);
}
