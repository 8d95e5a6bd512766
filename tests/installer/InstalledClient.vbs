' A client of the installed component: creates it by its ProgID, sets a
' parameter and reads one. Every error is handled here; the last line tells
' how many checks passed and failed.
On Error Resume Next

Dim passed, failed, ryn, value
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

Set ryn = CreateObject("Ryn.VelRyn.1")
Check "CreateObject (" & Hex(Err.Number) & " " & Err.Description & ")", Err.Number = 0 And IsObject(ryn)
Err.Clear
ryn.SetParameter "DELAY", 100
Check "SetParameter DELAY 100 (" & Hex(Err.Number) & " " & Err.Description & ")", Err.Number = 0
Err.Clear
value = -1
value = ryn.GetParameter("DELAY")
Check "GetParameter DELAY before any measurement is 0 (got " & value & ", " & Hex(Err.Number) & ")", Err.Number = 0 And value = 0

WScript.Echo passed & " passed, " & failed & " failed"
