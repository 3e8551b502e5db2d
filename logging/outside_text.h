// Text from outside the service as it goes into a log line: file and job
// names, the engine's messages, error descriptions, names from the command
// line. A control character there is shown escaped (CR as \r, LF as \n, TAB
// as \t, any other as \xNN with two upper-case hex digits), so that one
// message is always one line and nobody can forge a line of the log by
// naming a file. The service's own texts (a language text such as the size
// notice, which starts with a line break) are not passed through here.
#pragma once

#include <string>
#include <string_view>

namespace qs::logging {

std::string Outside(std::string_view text);

}  // namespace qs::logging
