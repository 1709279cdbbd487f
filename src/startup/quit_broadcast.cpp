#include <windows.h>

#include "common/common.h"
#include "startup/startup.h"

void BroadcastQuit(char *buffer, DWORD *recipients)
{
    BuildQuitMessageName(buffer);
    UINT quitMessage = RegisterWindowMessageA(buffer);
    BroadcastSystemMessage(BSF_POSTMESSAGE, recipients, quitMessage, 0, 0);
}
