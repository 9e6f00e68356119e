#include "app/corvalt_mac_app.h"

int main(int argc, char** argv)
{
    return Corvalt_MacApp::main(argc, argv);
}
