// What the platform says of the proxy a connection goes through, in words
// for a trader: the Windows proxy settings of the user (a named proxy, an
// automatic configuration script or detection, or none) and whether the
// plug-in's sessions follow them. Any thread.
#pragma once

#include <string>

std::wstring DescribeProxy();
