// Everything a host sees of the control module, written once: identifiers,
// names, ProgIDs, resource ids, texts and status values. The dispatch table,
// the type library, the resources and the registration all read them here.
#pragma once

#include "platform/control.h"

// ---- Type library -----------------------------------------------------------
constexpr GUID LIBID_VORNOUTLOOKEXPRESSLib = MakeGuid("{BB55FF47-1967-4006-B476-4DBCC19E4AC2}");
constexpr char kLibraryName[] = "VORNOUTLOOKEXPRESSLib";
constexpr WORD kLibraryMajor = 1;
constexpr WORD kLibraryMinor = 0;
constexpr LCID kLibraryLocale = 0x0409;
constexpr char kLibraryHelpString[] = "VornOutlookExpress ActiveX Control module";
constexpr char kLibraryHelpFile[] = "VornOutlookExpress.hlp";

constexpr IID DIID__DVornOutlookExpress = MakeGuid("{1C47E3C0-AA8F-4325-BB69-6A32A57470ED}");
constexpr char kDispatchName[] = "_DVornOutlookExpress";
constexpr char kDispatchHelpString[] = "Dispatch interface for VornOutlookExpress Control";

constexpr IID DIID__DVornOutlookExpressEvents = MakeGuid("{0C9EB2D7-F72E-4E02-B16D-CE5F91A4FD1D}");
constexpr char kEventsName[] = "_DVornOutlookExpressEvents";
constexpr char kEventsHelpString[] = "Event interface for VornOutlookExpress Control";

constexpr CLSID CLSID_VornOutlookExpress = MakeGuid("{55AD47E4-2535-4F8A-817C-4EDDF342617B}");
constexpr char kCoclassName[] = "VornOutlookExpress";
constexpr char kCoclassHelpString[] = "VornOutlookExpress Control";

// The coordinate types of the mouse events, aliases of a 32-bit integer.
constexpr char kXPosPixelsName[] = "OLE_XPOS_PIXELS";
constexpr char kYPosPixelsName[] = "OLE_YPOS_PIXELS";

// ---- Classes and registration -----------------------------------------------
constexpr char kControlProgId[] = "VORNOUTLOOKEXPRESS.VornOutlookExpressCtrl.1";
constexpr CLSID CLSID_VornOutlookExpressPropPage =
    MakeGuid("{EC51468C-0E66-406E-9A08-EB9809F6D525}");
constexpr char kPropPageProgId[] = "VORNOUTLOOKEXPRESS.VornOutlookExpressPropPage.1";

constexpr DWORD kControlMiscStatus = OLEMISC_SETCLIENTSITEFIRST | OLEMISC_ACTIVATEWHENVISIBLE |
                                     OLEMISC_INSIDEOUT | OLEMISC_CANTLINKINSIDE |
                                     OLEMISC_RECOMPOSEONRESIZE;
static_assert(kControlMiscStatus == 0x20191);
constexpr char kThreadingModel[] = "Apartment";

// ---- Resources ----------------------------------------------------------------
constexpr WORD IDS_VORNOUTLOOKEXPRESS = 1;           // user type name of the control
constexpr WORD IDS_VORNOUTLOOKEXPRESS_PPG = 2;       // name of the property page
constexpr WORD IDS_VORNOUTLOOKEXPRESS_PPG_CAPTION = 200;
constexpr WORD IDB_VORNOUTLOOKEXPRESS = 1;           // toolbox bitmap
constexpr WORD IDI_ABOUTDLL = 1;                     // About dialog icon
constexpr WORD IDD_ABOUTBOX_VORNOUTLOOKEXPRESS = 1;
constexpr WORD IDD_PROPPAGE_VORNOUTLOOKEXPRESS = 200;
constexpr WORD IDR_TYPELIB = 1;
constexpr WORD IDR_VERSION = 1;

constexpr char kControlTypeName[] = "VornOutlookExpress Control";
constexpr char kPropPageName[] = "VornOutlookExpress Property Page";
constexpr char kPropPageCaption[] = "General";

// ---- Control state and face ---------------------------------------------------
// The version stamp of the persisted state: 1.0.
constexpr DWORD kControlStateVersion = 0x00010000;
// The label drawn at the top-left corner of the control.
constexpr char kLabelText[] = "VornOutlookExpress";
// The extent of a new control, in HIMETRIC units (200 x 40 pixels at 96 dpi).
constexpr LONG kDefaultExtentX = 5292;
constexpr LONG kDefaultExtentY = 1058;

// The names of the two verbs, Edit and Properties.
constexpr char kVerbEditName[] = "&Edit";
constexpr char kVerbPropertiesName[] = "&Properties...";

// ---- Dialogs --------------------------------------------------------------------
constexpr char kAboutCaption[] = "About Vorn Outlook Express ActiveX Control";
constexpr char kAboutVersionLine[] = "Vorn Outlook Express ActiveX Control, Version 1.0";
constexpr char kAboutLegalLine[] = "Copyright (C) 2026 The Vorn Project";
constexpr char kDialogFont[] = "MS Sans Serif";
constexpr WORD kDialogFontSize = 8;
constexpr char kPropPageText[] =
    "All Properties of Vorn Outlook Express ActiveX Control show on the Appliction Properties "
    "Window!";

// ---- Version resource -----------------------------------------------------------
constexpr WORD kFileVersion[4] = {1, 0, 0, 1};
constexpr char kVersionText[] = "1, 0, 0, 1";
constexpr char kModuleDescription[] = "VornOutlookExpress ActiveX Control Module";
constexpr char kInternalName[] = "VornOutlookExpress";
constexpr char kOriginalFilename[] = "VornOutlookExpress.OCX";
constexpr char kCompanyName[] = "The Vorn Project";
constexpr char kLegalCopyright[] = "Copyright (C) 2026 The Vorn Project";
