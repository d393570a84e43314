// The last step on both links: a chunk that passed the completeness test goes to the message
// handler. A chunk longer than any frame can only hold a block frame worth salvaging.
#pragma once

#include <functional>
#include <string>

namespace quillon {

using MessageHandler = std::function<int(unsigned char*, int)>;

// Calls handler with the chunk when it fits one frame. A longer chunk is searched for a block frame
// that starts at an even offset ('*' there, '#' 4103 bytes later); the handler gets that frame, or
// 4104 zero bytes when there is none, which it refuses. Returns the handler's result.
int DeliverChunk(std::string& chunk, const MessageHandler& handler);

}  // namespace quillon
