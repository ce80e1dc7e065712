// A late-bound Parcelgate client in JScript: downloads URL into FILE.
//
//   cscript //nologo download.js URL FILE [TOKEN]
//
// Exit code: 0 the file arrived, 1 bad command line, 2 DownLoad refused the
// URL, 3 no file within 60 s (an error page, an unreachable server: the
// target is only ever written whole, so a failed download leaves none).
//
// A script cannot implement INetFileProgress (a vtable interface), so it gets
// no events: it waits for the file instead. Wine's cscript has no
// WScript.Sleep, so the wait polls.
var args = WScript.Arguments;
if (args.length < 2) {
    WScript.Echo("usage: cscript //nologo download.js URL FILE [TOKEN]");
    WScript.Quit(1);
}
var url = args.Item(0), file = args.Item(1), token = args.length > 2 ? args.Item(2) : "";

// The connection text is JSON: quotes and backslashes in the token escaped.
var json = '{"access_token":"' + token.replace(/\\/g, "\\\\").replace(/"/g, '\\"') + '"}';
var engine = new ActiveXObject("Parcelgate.NetFileEngine");
var trans = engine.CreateNetFileTrans(json);

var fso = new ActiveXObject("Scripting.FileSystemObject");
if (fso.FileExists(file)) fso.DeleteFile(file);

// Returns at once; the download runs on a thread of the server.
if (!trans.DownLoad(url, file)) {
    WScript.Echo("not started: only http:// and https:// URLs are taken");
    WScript.Quit(2);
}

var until = new Date().getTime() + 60000;
while (!fso.FileExists(file) && new Date().getTime() < until) {
}
if (!fso.FileExists(file)) {
    WScript.Echo("no file after 60 s");
    WScript.Quit(3);
}
WScript.Echo("downloaded " + fso.GetFile(file).Size + " bytes to " + file);
WScript.Quit(0);
