// The program's version texts.
#pragma once

#include <string>

// The product version as a version resource would hold it ("1,0,0,0").
const char* productVersion();
// "Ver.:" followed by the product version.
const std::string& getVersionText();
// Commas become hyphens and semicolons full stops: "1,0,0,0" -> "1-0-0-0".
std::string convertVersion(const std::string& text);
