# Finds the KAVRO driver's entry in DASYLab.ini, reading only: writes
# "KAVRO DAQ Cards Driver is registered" and exits 0 when both profile
# readers (Windows' and Wine's) read it, and writes nothing when they do not.
# An Intune custom detection script; deploy/windows.yml runs it too.
# The first [Hardware] section counts (any case), and in it the first
# MKAVRO.DLL line (any case), whose value, trimmed, one pair of quotes
# dropped, must be "KAVRO DAQ Cards Driver". Windows trims blanks and tabs
# and ends a header's name at its first ']'; Wine trims all ASCII whitespace
# and Ctrl-Z, ends the name at the last ']' and takes a line without one for
# a key. (Windows' ';' comments need no rule: such a line names no key the
# driver's.)
$path = 'C:\Program Files\DASYLab 8.0\DASYLab.ini'
if (-not (Test-Path -LiteralPath $path -PathType Leaf)) { exit 0 }

function Test-Name([string]$a, [string]$b) {  # equal but for ASCII case
  if ($a.Length -ne $b.Length) { return $false }
  for ($i = 0; $i -lt $a.Length; $i++) {
    $x = [int]$a[$i]; $y = [int]$b[$i]
    if ($x -ge 97 -and $x -le 122) { $x -= 32 }
    if ($y -ge 97 -and $y -le 122) { $y -= 32 }
    if ($x -ne $y) { return $false }
  }
  return $true
}

function Step-Reader($r, [string]$line) {
  $text = $line.TrimStart($r.Blanks)
  if ($text.Length -eq 0) { return }
  if ($text[0] -eq '[') {
    if ($r.ToLast) { $end = $text.LastIndexOf(']') } else { $end = $text.IndexOf(']') }
    if ($end -ge 0 -or -not $r.ToLast) {
      if ($end -lt 0) { $end = $text.Length }
      if ($r.In) { $r.Done = $true }
      elseif (Test-Name ($text.Substring(1, $end - 1).Trim($r.Blanks)) 'Hardware') { $r.In = $true }
      return
    }
  }
  if (-not $r.In) { return }
  $equals = $text.IndexOf('=')
  if ($equals -ge 0) { $key = $text.Substring(0, $equals) } else { $key = $text }
  if (-not (Test-Name ($key.Trim($r.Blanks)) 'MKAVRO.DLL')) { return }
  $r.Done = $true
  if ($equals -lt 0) { return }
  $value = $text.Substring($equals + 1).Trim($r.Blanks)
  if ($value.Length -ge 2 -and ($value[0] -eq '"' -or $value[0] -eq "'") -and $value[-1] -eq $value[0]) {
    $value = $value.Substring(1, $value.Length - 2)
  }
  $r.Set = $value -ceq 'KAVRO DAQ Cards Driver'
}

$stream = [System.IO.File]::Open($path, 'Open', 'Read', 'ReadWrite, Delete')
try {
  $head = New-Object byte[] 3
  $count = $stream.Read($head, 0, 3)
  # The byte order mark tells the encoding: UTF-16 (either order), UTF-8, or 8-bit.
  if ($count -ge 2 -and $head[0] -eq 0xFF -and $head[1] -eq 0xFE) {
    $encoding = [System.Text.Encoding]::Unicode; $start = 2
  } elseif ($count -ge 2 -and $head[0] -eq 0xFE -and $head[1] -eq 0xFF) {
    $encoding = [System.Text.Encoding]::BigEndianUnicode; $start = 2
  } else {
    $encoding = [System.Text.Encoding]::GetEncoding(28591)
    if ($count -eq 3 -and $head[0] -eq 0xEF -and $head[1] -eq 0xBB -and $head[2] -eq 0xBF) { $start = 3 } else { $start = 0 }
  }
  # kavro-register leaves an odd-length UTF-16 file alone.
  if ($start -eq 2 -and $stream.Length % 2 -eq 1) { exit 0 }
  [void]$stream.Seek($start, 'Begin')
  $windows = @{ Blanks = [char[]]" `t"; ToLast = $false; In = $false; Done = $false; Set = $false }
  $wine = @{ Blanks = [char[]]" `t`n`v`f`r$([char]0x1A)"; ToLast = $true; In = $false; Done = $false; Set = $false }
  # ReadLine ends lines at CR, LF or CRLF, as both readers do.
  $reader = New-Object System.IO.StreamReader($stream, $encoding, $false)
  while (-not ($windows.Done -and $wine.Done)) {
    $line = $reader.ReadLine()
    if ($null -eq $line) { break }
    if (-not $windows.Done) { Step-Reader $windows $line }
    if (-not $wine.Done) { Step-Reader $wine $line }
  }
} finally {
  $stream.Dispose()
}
if ($windows.Set -and $wine.Set) { 'KAVRO DAQ Cards Driver is registered' }
exit 0
