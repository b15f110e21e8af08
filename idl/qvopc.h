/*
 * One include for everything OPC in QvSrvKit: the widl-generated interface
 * headers (from the gen dir of the qv_idl target), result codes, and the
 * component category ids (defined in qv_idl).
 */
#ifndef QV_QVOPC_H
#define QV_QVOPC_H

#include "opccomn.h"
#include "opcda.h"
#include "opcsec.h"
#include "opcae.h"
#include "opcenum.h"
#include "opcerrors.h"

#endif /* QV_QVOPC_H */
