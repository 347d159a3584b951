#pragma once

#include <string>

// Inside the quarantine room: the folder checks that open and the clean-up share.

// Makes the quarantine at path where missing (its parents too), adopts a folder of earlier runs,
// and checks that it is private and pollensift's: "" or why it cannot serve.
std::string claimQuarantine(const std::string& path);

// 1 when the file at path (not followed if a link) is a regular file that begins with the
// verdict field, 0 when it is a regular file that does not, -1 when it is none or cannot be read.
int carriesVerdictField(const std::string& file);

bool isEmptyFile(const std::string& file);
