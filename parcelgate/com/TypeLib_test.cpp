// The type library embedded in the built Parcelgate.dll, read back with the
// OLE Automation API and compared with what clients are promised.
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "PcgComClient.h"

namespace {

using namespace testing_support;

const GUID kLibId = {0x7AE723F7, 0x8170, 0x4974, {0x9D, 0x8A, 0x31, 0xE9, 0xF3, 0xCF, 0xDE, 0x5D}};
const GUID kActionId = {0x9C5B19A6, 0x244D, 0x4DF7, {0x88, 0x22, 0x6D, 0xFC, 0x16, 0x86, 0x0B, 0x3B}};

std::string Text(BSTR text) {
    std::string narrow = text ? Narrow(std::wstring(text, SysStringLen(text))) : std::string();
    SysFreeString(text);
    return narrow;
}

std::string Name(ITypeInfo* info) {
    BSTR name = nullptr;
    info->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr);
    return Text(name);
}

std::string HelpString(ITypeInfo* info) {
    BSTR help = nullptr;
    info->GetDocumentation(MEMBERID_NIL, nullptr, &help, nullptr, nullptr);
    return Text(help);
}

std::string TypeText(ITypeInfo* owner, const TYPEDESC& type) {
    switch (type.vt) {
    case VT_PTR: return TypeText(owner, *type.lptdesc) + "*";
    case VT_BSTR: return "BSTR";
    case VT_I4: return "long";
    case VT_BOOL: return "VARIANT_BOOL";
    case VT_UI8: return "UI8";
    case VT_HRESULT: return "HRESULT";
    case VT_USERDEFINED: {
        ComPtr<ITypeInfo> referenced;
        if (FAILED(owner->GetRefTypeInfo(type.hreftype, referenced.GetAddressOf()))) return "?ref";
        return Name(referenced.Get());
    }
    default: return "vt" + std::to_string(type.vt);
    }
}

std::string Direction(USHORT flags) {
    std::string text;
    if (flags & PARAMFLAG_FIN) text += "in";
    if (flags & PARAMFLAG_FOUT) text += text.empty() ? "out" : ",out";
    if (flags & PARAMFLAG_FRETVAL) text += ",retval";
    return text;
}

// "slot name id kind (param: type dir; ...) -> return type" for each function.
// Vtable offsets come in pointers of the reading process, whatever the
// library's system kind.
std::vector<std::string> Functions(ITypeInfo* info) {
    const SHORT pointerSize = sizeof(void*);
    TYPEATTR* attributes = nullptr;
    info->GetTypeAttr(&attributes);
    std::vector<std::string> lines;
    for (UINT i = 0; i < attributes->cFuncs; ++i) {
        FUNCDESC* function = nullptr;
        info->GetFuncDesc(i, &function);
        BSTR names[16] = {};
        UINT count = 0;
        info->GetNames(function->memid, names, 16, &count);
        if (function->invkind == INVOKE_PROPERTYPUT) {
            // Names of a property put are looked up by its member id, which
            // the get shares: count only what the put itself names.
            count = 1;
        }
        std::string line = std::to_string(function->oVft / pointerSize) + " " +
                           Narrow(names[0]) + " " + std::to_string(function->memid) + " " +
                           (function->invkind == INVOKE_FUNC          ? "func"
                            : function->invkind == INVOKE_PROPERTYGET ? "get"
                                                                      : "put") +
                           " (";
        for (SHORT p = 0; p < function->cParams; ++p) {
            const ELEMDESC& param = function->lprgelemdescParam[p];
            std::string name = static_cast<UINT>(p + 1) < count ? Narrow(names[p + 1]) : "";
            line += (p ? "; " : "") + name + ": " + TypeText(info, param.tdesc) + " " +
                    Direction(param.paramdesc.wParamFlags);
        }
        line += ") -> " + TypeText(info, function->elemdescFunc.tdesc);
        for (UINT n = 0; n < 16; ++n) SysFreeString(names[n]);
        info->ReleaseFuncDesc(function);
        lines.push_back(line);
    }
    info->ReleaseTypeAttr(attributes);
    return lines;
}

class PcgComTypeLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        std::wstring path = Wide(ExecutableDirectory() + "\\Parcelgate.dll");
        ASSERT_EQ(S_OK, LoadTypeLibEx(path.c_str(), REGKIND_NONE, library_.GetAddressOf()));
    }

    ComPtr<ITypeInfo> Info(REFGUID guid) {
        ComPtr<ITypeInfo> info;
        EXPECT_EQ(S_OK, library_->GetTypeInfoOfGuid(guid, info.GetAddressOf()));
        return info;
    }

    // The vtable side of an interface (dual interfaces are found as their
    // dispatch side first).
    ComPtr<ITypeInfo> VtableSide(REFGUID guid) {
        ComPtr<ITypeInfo> info = Info(guid);
        TYPEATTR* attributes = nullptr;
        info->GetTypeAttr(&attributes);
        TYPEKIND kind = attributes->typekind;
        info->ReleaseTypeAttr(attributes);
        if (kind != TKIND_DISPATCH) return info;
        HREFTYPE ref = 0;
        ComPtr<ITypeInfo> side;
        EXPECT_EQ(S_OK, info->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref));
        EXPECT_EQ(S_OK, info->GetRefTypeInfo(ref, side.GetAddressOf()));
        return side;
    }

    TYPEATTR Attributes(ITypeInfo* info) {
        TYPEATTR* attributes = nullptr;
        info->GetTypeAttr(&attributes);
        TYPEATTR copy = *attributes;
        info->ReleaseTypeAttr(attributes);
        return copy;
    }

    // Name of the base interface and of the library that defines it.
    std::pair<std::string, std::string> Base(ITypeInfo* info) {
        HREFTYPE ref = 0;
        ComPtr<ITypeInfo> base;
        if (FAILED(info->GetRefTypeOfImplType(0, &ref)) || FAILED(info->GetRefTypeInfo(ref, base.GetAddressOf())))
            return {};
        ComPtr<ITypeLib> owner;
        UINT index = 0;
        base->GetContainingTypeLib(owner.GetAddressOf(), &index);
        BSTR libName = nullptr;
        owner->GetDocumentation(-1, &libName, nullptr, nullptr, nullptr);
        return {Name(base.Get()), Text(libName)};
    }

    ComPtr<ITypeLib> library_;
};

TEST_F(PcgComTypeLibrary, LibraryAttributes) {
    TLIBATTR* attributes = nullptr;
    ASSERT_EQ(S_OK, library_->GetLibAttr(&attributes));
    EXPECT_EQ(kLibId, attributes->guid);
    EXPECT_EQ(0x0409u, attributes->lcid);
    EXPECT_EQ(1, attributes->wMajorVerNum);
    EXPECT_EQ(0, attributes->wMinorVerNum);
    // Each build carries the library of its own kind.
    EXPECT_EQ(sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32, attributes->syskind);
    library_->ReleaseTLibAttr(attributes);

    BSTR name = nullptr;
    BSTR help = nullptr;
    ASSERT_EQ(S_OK, library_->GetDocumentation(-1, &name, &help, nullptr, nullptr));
    EXPECT_EQ("Parcelgate", Text(name));
    EXPECT_EQ("Parcelgate Library", Text(help));
    EXPECT_EQ(6u, library_->GetTypeInfoCount());
}

TEST_F(PcgComTypeLibrary, EngineInterface) {
    ComPtr<ITypeInfo> info = Info(IID_INetFileEngine);
    TYPEATTR dispatch = Attributes(info.Get());
    EXPECT_EQ(TKIND_DISPATCH, dispatch.typekind);
    EXPECT_EQ(TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE,
              dispatch.wTypeFlags & (TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE));
    EXPECT_EQ("INetFileEngine", Name(info.Get()));
    EXPECT_EQ("Dispatch interface for NetFileEngine Object", HelpString(info.Get()));

    ComPtr<ITypeInfo> vtable = VtableSide(IID_INetFileEngine);
    EXPECT_EQ(TKIND_INTERFACE, Attributes(vtable.Get()).typekind);
    EXPECT_EQ(TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE,
              Attributes(vtable.Get()).wTypeFlags & (TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE));
    EXPECT_EQ(IID_INetFileEngine, Attributes(vtable.Get()).guid);
    EXPECT_EQ(std::make_pair(std::string("IDispatch"), std::string("stdole")), Base(vtable.Get()));
    EXPECT_EQ((std::vector<std::string>{
                  "7 CreateNetFileTrans 201 func (AConnectionStr: BSTR in; Value: INetFileTrans** out,retval) -> HRESULT",
                  "8 GetLastError 202 func (Value: long* out,retval) -> HRESULT",
                  "9 LoadProxyInfo 203 func (AHost: BSTR in; APort: BSTR in; AUser: BSTR in; APassWord: BSTR in; "
                  "Value: VARIANT_BOOL* out,retval) -> HRESULT",
              }),
              Functions(vtable.Get()));
}

TEST_F(PcgComTypeLibrary, TransInterface) {
    ComPtr<ITypeInfo> info = Info(IID_INetFileTrans);
    TYPEATTR dispatch = Attributes(info.Get());
    EXPECT_EQ(TKIND_DISPATCH, dispatch.typekind);
    EXPECT_EQ(TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE,
              dispatch.wTypeFlags & (TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE));
    EXPECT_EQ("", HelpString(info.Get()));

    ComPtr<ITypeInfo> vtable = VtableSide(IID_INetFileTrans);
    EXPECT_EQ(TKIND_INTERFACE, Attributes(vtable.Get()).typekind);
    EXPECT_EQ(TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE,
              Attributes(vtable.Get()).wTypeFlags & (TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE));
    EXPECT_EQ(std::make_pair(std::string("IDispatch"), std::string("stdole")), Base(vtable.Get()));
    EXPECT_EQ((std::vector<std::string>{
                  "7 DownLoad 201 func (AUrl: BSTR in; AFileName: BSTR in; Param3: VARIANT_BOOL* out,retval) -> HRESULT",
                  "8 Upload 202 func (AFileName: BSTR in; AUrl: BSTR in; AForceReUpload: VARIANT_BOOL in; "
                  "Value: VARIANT_BOOL* out,retval) -> HRESULT",
                  "9 Progress 203 get (Value: INetFileProgress** out,retval) -> HRESULT",
                  "10 Progress 203 put (: INetFileProgress* in) -> HRESULT",
              }),
              Functions(vtable.Get()));
}

TEST_F(PcgComTypeLibrary, ProgressInterface) {
    ComPtr<ITypeInfo> info = Info(IID_INetFileProgress);
    TYPEATTR attributes = Attributes(info.Get());
    EXPECT_EQ(TKIND_INTERFACE, attributes.typekind);
    EXPECT_EQ(TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION,
              attributes.wTypeFlags & (TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE));
    EXPECT_EQ(std::make_pair(std::string("IUnknown"), std::string("stdole")), Base(info.Get()));
    EXPECT_EQ((std::vector<std::string>{
                  "3 OnProgress 101 func (APos: UI8 in; AMaxPos: UI8 in; AAction: TNetFileAction in; "
                  "Value: HRESULT* out,retval) -> HRESULT",
                  "4 OnBegin 102 func (Value: HRESULT* out,retval) -> HRESULT",
                  "5 OnFinish 103 func (Value: HRESULT* out,retval) -> HRESULT",
                  "6 OnFail 104 func (AErrorCode: long in; Value: HRESULT* out,retval) -> HRESULT",
              }),
              Functions(info.Get()));
}

TEST_F(PcgComTypeLibrary, ActionEnumeration) {
    ComPtr<ITypeInfo> info = Info(kActionId);
    TYPEATTR attributes = Attributes(info.Get());
    EXPECT_EQ(TKIND_ENUM, attributes.typekind);
    EXPECT_EQ(4u, attributes.cbSizeInstance);
    EXPECT_EQ("TNetFileAction", Name(info.Get()));
    std::vector<std::string> values;
    for (UINT i = 0; i < attributes.cVars; ++i) {
        VARDESC* var = nullptr;
        info->GetVarDesc(i, &var);
        BSTR name = nullptr;
        info->GetDocumentation(var->memid, &name, nullptr, nullptr, nullptr);
        values.push_back(Text(name) + "=" + std::to_string(var->lpvarValue->lVal));
        info->ReleaseVarDesc(var);
    }
    EXPECT_EQ((std::vector<std::string>{"nfaNone=0", "nfaResume=1", "nfaTerminate=2"}), values);
}

TEST_F(PcgComTypeLibrary, Coclasses) {
    struct Expected {
        const CLSID& clsid;
        const char* name;
        const char* help;
        const IID& iid;
    };
    for (const Expected& expected : {Expected{CLSID_NetFileEngine, "NetFileEngine", "NetFileEngine Object",
                                              IID_INetFileEngine},
                                     Expected{CLSID_NetFileTrans, "NetFileTrans", "", IID_INetFileTrans}}) {
        SCOPED_TRACE(expected.name);
        ComPtr<ITypeInfo> info = Info(expected.clsid);
        TYPEATTR attributes = Attributes(info.Get());
        EXPECT_EQ(TKIND_COCLASS, attributes.typekind);
        EXPECT_TRUE(attributes.wTypeFlags & TYPEFLAG_FCANCREATE);
        EXPECT_EQ(expected.name, Name(info.Get()));
        EXPECT_EQ(expected.help, HelpString(info.Get()));
        ASSERT_EQ(1, attributes.cImplTypes);
        INT flags = 0;
        ASSERT_EQ(S_OK, info->GetImplTypeFlags(0, &flags));
        EXPECT_EQ(IMPLTYPEFLAG_FDEFAULT, flags);  // the default, and no source interface
        HREFTYPE ref = 0;
        ComPtr<ITypeInfo> implemented;
        ASSERT_EQ(S_OK, info->GetRefTypeOfImplType(0, &ref));
        ASSERT_EQ(S_OK, info->GetRefTypeInfo(ref, implemented.GetAddressOf()));
        EXPECT_EQ(expected.iid, Attributes(implemented.Get()).guid);
    }
}

// The i686 deliverable, when the build root holds it beside this tree
// (<root>\test-<arch>\bin and <root>\release\bin): a 32-bit library with
// the same members in the same slots.
TEST_F(PcgComTypeLibrary, DeliverableCarriesThe32BitLibrary) {
    const std::string deliverable = ExecutableDirectory() + "\\..\\..\\release\\bin\\Parcelgate.dll";
    if (!FileExists(deliverable)) GTEST_SKIP() << "no deliverables tree beside this one";
    ComPtr<ITypeLib> library32;
    ASSERT_EQ(S_OK, LoadTypeLibEx(Wide(deliverable).c_str(), REGKIND_NONE, library32.GetAddressOf()));
    TLIBATTR* attributes = nullptr;
    ASSERT_EQ(S_OK, library32->GetLibAttr(&attributes));
    EXPECT_EQ(SYS_WIN32, attributes->syskind);
    EXPECT_EQ(kLibId, attributes->guid);
    EXPECT_EQ(0x0409u, attributes->lcid);
    library32->ReleaseTLibAttr(attributes);

    for (const IID* iid : {&IID_INetFileEngine, &IID_INetFileTrans, &IID_INetFileProgress}) {
        ComPtr<ITypeInfo> info32;
        ASSERT_EQ(S_OK, library32->GetTypeInfoOfGuid(*iid, info32.GetAddressOf()));
        if (Attributes(info32.Get()).typekind == TKIND_DISPATCH) {
            HREFTYPE ref = 0;
            ComPtr<ITypeInfo> side;
            ASSERT_EQ(S_OK, info32->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref));
            ASSERT_EQ(S_OK, info32->GetRefTypeInfo(ref, side.GetAddressOf()));
            info32 = side;
        }
        EXPECT_EQ(Attributes(VtableSide(*iid).Get()).wTypeFlags, Attributes(info32.Get()).wTypeFlags);
        EXPECT_EQ(Functions(VtableSide(*iid).Get()), Functions(info32.Get()));
    }
}

}  // namespace
