// The page source in the form the parsers' browser markers expect: element names upper
// case in start and end tags ("<A href=", "</SPAN>"), attributes and text unchanged.
#pragma once

#include <string>
#include <string_view>

namespace tamix {

std::string ToBrowserForm(std::string_view html);

} // namespace tamix
