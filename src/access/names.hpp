// Every attribute name, message and fixed text the module uses, made by each
// execution of the module as interned str objects (see make_names()). They
// belong to that module object's constants (access/constants.hpp); everything
// else borrows them.
#pragma once

#include "access/ref.hpp"

// X(identifier, "text")
#define TAVROCAM_STRINGS(X)                                                      \
    /* dunder names and module-level names */                                    \
    X(dunder_init, "__init__")                                                   \
    X(dunder_doc, "__doc__")                                                     \
    X(dunder_module, "__module__")                                               \
    X(dunder_qualname, "__qualname__")                                           \
    X(dunder_name, "__name__")                                                   \
    X(dunder_classcell, "__classcell__")                                         \
    X(dunder_main, "__main__")                                                   \
    X(dunder_builtins, "__builtins__")                                           \
    X(builtins, "builtins")                                                      \
    X(pypylon, "pypylon")                                                        \
    X(pylon, "pylon")                                                            \
    X(print, "print")                                                            \
    X(api, "api")                                                                \
    X(e, "e")                                                                    \
    X(empty, "")                                                                 \
    X(CLASS_Tavrocam, "CLASS_Tavrocam")                                          \
    X(FeatureBase, "_FeatureBase")                                               \
    X(qual_FeatureBase, "CLASS_Tavrocam._FeatureBase")                           \
    /* the SDK surface */                                                        \
    X(TlFactory, "TlFactory")                                                    \
    X(GetInstance, "GetInstance")                                                \
    X(EnumerateDevices, "EnumerateDevices")                                      \
    X(CreateDevice, "CreateDevice")                                              \
    X(InstantCamera, "InstantCamera")                                            \
    X(Open, "Open")                                                              \
    X(IsOpen, "IsOpen")                                                          \
    X(Close, "Close")                                                            \
    X(GetValue, "GetValue")                                                      \
    X(SetValue, "SetValue")                                                      \
    X(GetMin, "GetMin")                                                          \
    X(GetMax, "GetMax")                                                          \
    X(GetInc, "GetInc")                                                          \
    X(Execute, "Execute")                                                        \
    X(PlaceholderParameter, "PlaceholderParameter")                              \
    X(LogicalErrorException, "LogicalErrorException")                            \
    /* instance attributes */                                                    \
    X(cam, "cam")                                                                \
    X(_cam, "_cam")                                                              \
    X(close, "close")                                                            \
    X(Device, "Device")                                                          \
    X(CUF_GET_ModelName, "CUF_GET_ModelName")                                    \
    /* feature nodes used by methods with logic of their own */                  \
    X(CenterX, "CenterX")                                                        \
    X(CenterY, "CenterY")                                                        \
    X(Width, "Width")                                                            \
    X(Height, "Height")                                                          \
    X(OffsetX, "OffsetX")                                                        \
    X(OffsetY, "OffsetY")                                                        \
    X(ExposureTime, "ExposureTime")                                              \
    X(BalanceRatioSelector, "BalanceRatioSelector")                              \
    X(BalanceRatio, "BalanceRatio")                                              \
    X(LightDeviceSelector, "LightDeviceSelector")                                \
    X(Red, "Red")                                                                \
    X(Green, "Green")                                                            \
    X(Blue, "Blue")                                                              \
    /* texts written by the connection, the handlers and the report */           \
    X(class_doc, "\n    Basler acA2040-55uc (USB3) 專用 API 封裝\n"                 \
                 "    相容 PyPylon 26.04.1 (2026 版本)\n    ")                     \
    X(no_cameras, "No Basler cameras found.")                                    \
    X(phrase_controlled, "already controlled")                                   \
    X(phrase_denied, "Access denied")                                            \
    /* how pylon's transport layers word the same condition */                   \
    X(phrase_gige_held, "controlled by another application")                     \
    X(phrase_usb_exclusive, "exclusively opened by another client")              \
    X(phrase_usb_claimed, "Another program or driver has claimed the usb interface") \
    X(msg_in_use, "!!! Error: Camera is in use by another program !!!")          \
    X(msg_connected, "Connect successful: ")                                     \
    X(msg_init_failure, "Initialize failure: ")                                  \
    X(msg_closed, "CCD closed.")                                                 \
    X(msg_ratio_failure_head, "設定 BalanceRatio ")                              \
    X(msg_ratio_failure_tail, " 失敗: ")                                         \
    X(msg_exposure_failure, "ExposureTime set failure: ")                        \
    X(msg_report_heading, "\n--- 目前相機設定狀態 ---")                          \
    X(msg_report_error, "執行出錯: ")

namespace tavrocam {

// One owned reference per text above, or NULL before it is made.
struct Names {
#define TAVROCAM_DECLARE(ident, text) PyObject* ident;
    TAVROCAM_STRINGS(TAVROCAM_DECLARE)
#undef TAVROCAM_DECLARE
};

// Makes every text of `names` (all NULL before). 0, or -1 with the error set;
// what was made is released by release_names().
Status make_names(Names& names);

// Releases what make_names() made.
void release_names(Names& names);

}  // namespace tavrocam
