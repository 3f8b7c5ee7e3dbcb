#include "control/version.h"

#ifndef CORVANE_PRODUCT_VERSION
#define CORVANE_PRODUCT_VERSION "1,0,0,0"
#endif

const char* productVersion() { return CORVANE_PRODUCT_VERSION; }

const std::string& getVersionText()
{
    static const std::string text = std::string("Ver.:") + productVersion();
    return text;
}

std::string convertVersion(const std::string& text)
{
    std::string out = text;
    for (char& c : out) {
        if (c == ',')
            c = '-';
        else if (c == ';')
            c = '.';
    }
    return out;
}
