#include "transport/Communication_SET.h"

CCommunication_SET::~CCommunication_SET() = default;

void CCommunication_SET::NotifyReply()
{
    {
        std::lock_guard lock(replyMutex_);
        ++replyGeneration_;
    }
    replyCondition_.notify_all();
}
