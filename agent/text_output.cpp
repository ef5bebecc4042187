// Placeholder until the text output lands.
#include "agent/text_output.h"

namespace tunelight {

TextOutput::TextOutput(Hub& hub) : hub_(hub) {}
TextOutput::~TextOutput() { stop(); }
void TextOutput::start() {}
void TextOutput::stop() {}
void TextOutput::setDir(const std::string&) {}

}  // namespace tunelight
