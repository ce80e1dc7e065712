' A late-bound Parcelgate client in VBScript: uploads FILE to URL, then
' fetches it back from CHECKURL to see that it arrived whole.
'
'   cscript //nologo upload.vbs FILE URL CHECKURL [TOKEN]
'
' Exit code: 0 the server holds the file, 1 bad command line or no such file,
' 2 Upload refused the URL, 3 the server did not have the whole file within
' 60 s.
'
' A script gets no events (it cannot implement INetFileProgress), so it asks
' the server: CHECKURL is where the server serves the upload once complete
' (the tests' chunk server serves it at the upload URL itself). A file of
' more than 10240 bytes goes up in chunks; a failed or stopped upload leaves
' FILE's resume record (".upbreak") for the next Upload of the same file.
Option Explicit
Dim args, file, url, checkUrl, token, fso, engine, trans, copy, size, deadline, arrived
Set args = WScript.Arguments
If args.Count < 3 Then
    WScript.Echo "usage: cscript //nologo upload.vbs FILE URL CHECKURL [TOKEN]"
    WScript.Quit 1
End If
file = args.Item(0)
url = args.Item(1)
checkUrl = args.Item(2)
token = ""
If args.Count > 3 Then token = args.Item(3)

Set fso = CreateObject("Scripting.FileSystemObject")
If Not fso.FileExists(file) Then
    ' Upload would answer True and the server would raise no event.
    WScript.Echo "no such file: " & file
    WScript.Quit 1
End If
size = fso.GetFile(file).Size

Set engine = CreateObject("Parcelgate.NetFileEngine")
Set trans = engine.CreateNetFileTrans("{""access_token"":""" & _
    Replace(Replace(token, "\", "\\"), """", "\""") & """}")

' False: continue from the resume record when there is one.
If Not trans.Upload(file, url, False) Then
    WScript.Echo "not started: only http:// and https:// URLs are taken"
    WScript.Quit 2
End If

' Each DownLoad of the copy runs on a thread of its own; an error page (the
' upload not yet complete) writes no file.
copy = fso.BuildPath(fso.GetSpecialFolder(2), fso.GetTempName())
arrived = False
deadline = DateAdd("s", 60, Now)
Do While Not arrived And Now < deadline
    If fso.FileExists(copy) Then
        arrived = fso.GetFile(copy).Size = size
        fso.DeleteFile copy
    End If
    If Not arrived Then trans.DownLoad checkUrl, copy
    WaitFor copy, 2
Loop
If Not arrived Then
    WScript.Echo "the server does not hold the whole file"
    WScript.Quit 3
End If
WScript.Echo "uploaded " & size & " bytes"
WScript.Quit 0

' Polls until the file is there or the seconds are over (no WScript.Sleep
' under Wine).
Sub WaitFor(name, seconds)
    Dim limit
    limit = DateAdd("s", seconds, Now)
    Do While Not fso.FileExists(name) And Now < limit
    Loop
End Sub
