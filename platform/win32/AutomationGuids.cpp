// The automation contract's GUIDs (IID_ISoftphone, DIID_ISoftphoneEvents,
// CLSID_Softphone, LIBID_QUVOLib), defined once for every program that links
// quvo_automation_idl.
#include <initguid.h>

#include "QUVO.h"
