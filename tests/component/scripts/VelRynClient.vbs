' A VBScript host of Ryn.VelRyn: creates it by ProgID, sets and reads
' parameters, and checks the error objects of failed calls. Every error is
' handled here; the last line tells how many checks passed and failed.
' The one argument is the description the system gives a type mismatch
' (the system's text, or the component's fallback where it has none).
On Error Resume Next

Dim passed, failed
passed = 0
failed = 0

Sub Check(what, condition)
  If condition Then
    passed = passed + 1
  Else
    failed = failed + 1
    WScript.Echo "FAIL: " & what
  End If
End Sub

Sub ExpectSuccess(what, number, description)
  Check what & " succeeds (got " & Hex(number) & " " & description & ")", number = 0
End Sub

Sub ExpectError(what, expectedNumber, expectedDescription, number, description, source)
  Check what & ": number " & Hex(number), number = expectedNumber
  Check what & ": description """ & description & """", description = expectedDescription
  Check what & ": source """ & source & """", source = "Ryn.VelRyn.1"
End Sub

Dim ryn, value, typeMismatch

typeMismatch = ""
If WScript.Arguments.Count = 1 Then typeMismatch = WScript.Arguments(0)
Check "the type mismatch's description is given (" & WScript.Arguments.Count & " arguments)", typeMismatch <> ""

Err.Clear
Set ryn = CreateObject("Ryn.VelRyn.1")
ExpectSuccess "CreateObject", Err.Number, Err.Description
Check "CreateObject gives an object", IsObject(ryn)
Err.Clear

ryn.SetParameter "DELAY", 100
ExpectSuccess "SetParameter DELAY 100", Err.Number, Err.Description
Err.Clear

ryn.SetParameter "VOLUME", "50"
ExpectSuccess "SetParameter VOLUME ""50""", Err.Number, Err.Description
Err.Clear

ryn.SetParameter "FREQUENCY_SHIFT", -2
ExpectSuccess "SetParameter FREQUENCY_SHIFT -2", Err.Number, Err.Description
Err.Clear

ryn.SetParameter "ZEL_MODE", 2
ExpectSuccess "SetParameter ZEL_MODE 2", Err.Number, Err.Description
Err.Clear

value = -1
value = ryn.GetParameter("DELAY")
ExpectSuccess "GetParameter DELAY", Err.Number, Err.Description
Check "GetParameter DELAY before any measurement is 0 (got " & value & ")", value = 0
Err.Clear

ryn.SetParameter "PITCH", 1
ExpectError "unknown name", &H80042005, "Unsupported parameter", Err.Number, Err.Description, Err.Source
Err.Clear

ryn.SetParameter "delay", 100
ExpectError "lower-case name", &H80042005, "Unsupported parameter", Err.Number, Err.Description, Err.Source
Err.Clear

ryn.SetParameter "DELAY", 30
ExpectError "delay out of range", &H80042006, "Invalid parameter", Err.Number, Err.Description, Err.Source
Err.Clear

ryn.SetParameter "VOLUME", 101
ExpectError "volume out of range", &H80042006, "Invalid parameter", Err.Number, Err.Description, Err.Source
Err.Clear

ryn.SetParameter "DELAY", "abc"
ExpectError "unconvertible value", &H80020005, typeMismatch, Err.Number, Err.Description, Err.Source
Err.Clear

value = 7
value = ryn.GetParameter("VOLUME")
ExpectError "GetParameter VOLUME", &H80042005, "Unsupported parameter", Err.Number, Err.Description, Err.Source
Check "a failed GetParameter assigns nothing", value = 7
Err.Clear

' No sound server is reachable in this test.
ryn.Run
ExpectError "Run without sound", &H80042009, "Could not initialize DirectX", Err.Number, Err.Description, Err.Source
Err.Clear

ryn.Stop
ExpectSuccess "Stop", Err.Number, Err.Description
Err.Clear

Dim second
Set second = CreateObject("Ryn.VelRyn")
ExpectSuccess "CreateObject by the version-independent ProgID", Err.Number, Err.Description
Err.Clear
second.SetParameter "DELAY", 40
ExpectSuccess "SetParameter on a second object", Err.Number, Err.Description
Err.Clear

Set second = Nothing
Set ryn = Nothing

WScript.Echo passed & " passed, " & failed & " failed"
