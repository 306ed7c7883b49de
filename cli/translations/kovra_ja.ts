<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ja">
<context>
    <name>cli</name>
    <message>
        <source>Try &quot;%1 --help&quot; for more information.
</source>
        <translation>詳しくは &quot;%1 --help&quot; を実行してください。
</translation>
    </message>
    <message>
        <source>unknown option %1</source>
        <translation>不明なオプションです: %1</translation>
    </message>
    <message>
        <source>rename needs at least one PATH</source>
        <translation>rename にはパスを一つ以上指定してください</translation>
    </message>
    <message>
        <source>undo takes no arguments</source>
        <translation type="vanished">undo には引数を指定できません</translation>
    </message>
    <message>
        <source>the drive has no rename that cannot replace a file</source>
        <translation>このドライブには既存のファイルを上書きしない名前の変更がありません</translation>
    </message>
    <message>
        <source>%1: cannot rename %2 to %3: %4
</source>
        <translation>%1: %2 の名前を %3 に変更できません: %4
</translation>
    </message>
    <message>
        <source>%1: the renames in %2 were made but may not survive a power cut: %3
</source>
        <translation>%1: %2 の名前は変更しましたが、電源が切れると元に戻る可能性があります: %3
</translation>
    </message>
    <message>
        <source>%1: cannot open %2: %3
</source>
        <translation>%1: %2 を開けません: %3
</translation>
    </message>
    <message>
        <source>%1: stopped at the folder %2: %3
</source>
        <translation>%1: フォルダ %2 で中止しました: %3
</translation>
    </message>
    <message>
        <source>a file or folder with the new name exists</source>
        <translation>新しい名前のファイル（またはフォルダ）が既にあります</translation>
    </message>
    <message>
        <source>no such file or folder</source>
        <translation>ファイルまたはフォルダが見つかりません</translation>
    </message>
    <message>
        <source>not a folder</source>
        <translation>フォルダではありません</translation>
    </message>
    <message>
        <source>permission denied</source>
        <translation>アクセス権がありません</translation>
    </message>
    <message>
        <source>read-only file system</source>
        <translation>読み取り専用のドライブです</translation>
    </message>
    <message>
        <source>the name is too long</source>
        <translation>名前が長すぎます</translation>
    </message>
    <message>
        <source>no space left on the drive</source>
        <translation>ディスクの空き容量が足りません</translation>
    </message>
    <message>
        <source>the file is in use</source>
        <translation>ファイルが使用中です</translation>
    </message>
    <message>
        <source>input/output error</source>
        <translation>入出力エラーが発生しました</translation>
    </message>
    <message>
        <source>the drive does not accept this name</source>
        <translation>この名前はこのドライブでは使えません</translation>
    </message>
    <message>
        <source>a symbolic link where a folder was expected</source>
        <translation>フォルダではなくシンボリックリンクです</translation>
    </message>
    <message>
        <source>the folder changed while it was being worked on</source>
        <translation>処理中にフォルダが変わりました</translation>
    </message>
    <message>
        <source>%1: nothing renamed in %2: the run could not be recorded for undo in %3: %4
</source>
        <translation type="vanished">%1: %2 の名前は変更していません。元に戻すための記録を %3 に保存できませんでした: %4
</translation>
    </message>
    <message>
        <source>%1: there is no rename run to undo
</source>
        <translation type="vanished">%1: 元に戻せる名前の変更はありません
</translation>
    </message>
    <message>
        <source>%1: the record of the last run is damaged or unreadable; nothing was changed, and the record was kept as %2
</source>
        <translation type="vanished">%1: 前回の名前の変更の記録が壊れているか読み込めないため、使用できません。ファイルには何も変更を加えていません。記録は %2 に残しました
</translation>
    </message>
    <message>
        <source>%1: the folder of the last run, %2, is gone; nothing was changed
</source>
        <translation>%1: 前回名前を変更したフォルダ %2 が見つかりません。ファイルには何も変更を加えていません
</translation>
    </message>
    <message>
        <source>%1: cannot read the folder of the last run, %2: %3; nothing was changed
</source>
        <translation>%1: 前回名前を変更したフォルダ %2 を確認できません: %3。ファイルには何も変更を加えていません
</translation>
    </message>
    <message>
        <source>the file was changed, moved or removed</source>
        <translation>名前の変更後に、変更・移動または削除されています</translation>
    </message>
    <message>
        <source>a file or folder has the old name now</source>
        <translation>元の名前のファイル（またはフォルダ）が既にあります</translation>
    </message>
    <message>
        <source>%1: cannot rename %2 back to %3: %4
</source>
        <translation>%1: %2 を %3 に戻せません: %4
</translation>
    </message>
    <message>
        <source>%1: nothing renamed: the run could not be recorded for undo in %2: %3
</source>
        <translation>%1: 名前は変更していません。元に戻すための記録を %2 に保存できませんでした: %3
</translation>
    </message>
    <message>
        <source>its folder is gone, or is another folder now</source>
        <translation>フォルダが見つからないか、別のフォルダに置き換わっています</translation>
    </message>
    <message>
        <source>cannot read its folder: %1</source>
        <translation>フォルダを確認できません: %1</translation>
    </message>
    <message>
        <source>Put the name of its folder in front of each file&apos;s name: /pics/cats/a.jpg becomes /pics/cats/cats_a.jpg.
An existing file is never replaced.

Without a command, the window opens: on FOLDER, or on the folder of the FILEs with them selected.

Commands:
  rename PATH...   rename the files named, and every file of each folder named
  undo             undo the last rename run, in every folder it renamed in

Options:
  -n, --dry-run    print each rename as &quot;old -&gt; new&quot; and change nothing
  -r, --recursive  rename in every subfolder too, each file with its own folder&apos;s name;
                   a symbolic link to a folder is never followed
  -v, --verbose    print each rename as &quot;old -&gt; new&quot; as it is made
  -a, --all        also the names beginning with &quot;.&quot; in the folders named, and hidden
                   subfolders; left out otherwise, since the prefix would unhide them
      --no-undo    keep no record of the run: faster over many folders, but undo
                   cannot take it back
  -h, --help       show this help and exit
  -V, --version    show the version and exit

Names that are not printable are shown escaped (\xff, \n), one rename per line.
</source>
        <translation type="vanished">フォルダ内の各ファイルの名前の先頭に、そのフォルダの名前を付けます: /pics/cats/a.jpg は /pics/cats/cats_a.jpg になります。
既にあるファイルを上書きすることはありません。

コマンドを指定しないとウィンドウを開きます: フォルダを指定するとそのフォルダを、ファイルを指定するとそのフォルダを開いてファイルを選択します。

コマンド:
  rename パス...   指定したファイルと、指定したフォルダ内のすべてのファイルの名前を変更します
  undo             最後の名前の変更を、変更したすべてのフォルダで元に戻します

オプション:
  -n, --dry-run    変更する名前を &amp;quot;旧 -&amp;gt; 新&amp;quot; の形で表示するだけで、何も変更しません
  -r, --recursive  サブフォルダ内もすべて、各ファイルにそのフォルダの名前を付けます。
                   フォルダへのシンボリックリンクはたどりません
  -v, --verbose    名前を変更するたびに &amp;quot;旧 -&amp;gt; 新&amp;quot; の形で表示します
  -a, --all        指定したフォルダ内の &amp;quot;.&amp;quot; で始まる名前と、隠しサブフォルダも対象にします。
                   名前を付けると隠しファイルでなくなるため、指定しなければ対象外です
      --no-undo    元に戻すための記録を残しません。多くのフォルダでは速くなりますが、
                   undo で元に戻せません
  -h, --help       このヘルプを表示して終了します
  -V, --version    バージョンを表示して終了します

表示できない文字を含む名前はエスケープして表示します（\xff、\n）。一行に一件です。
</translation>
    </message>
    <message>
        <source>
Exit status:
  0  every file was renamed (by undo: renamed back)
  1  the run stopped at a failure: the file, its new name and the reason are printed;
     also when undo finds no run to undo, and when the output cannot be written
  2  wrong usage, a path that cannot be opened, or no display for the window:
     nothing was renamed
</source>
        <translation>
終了ステータス:
  0  すべてのファイルの名前を変更しました（undo では元に戻しました）
  1  途中で失敗して中止しました。ファイル、新しい名前、理由を表示します。
     undo で元に戻せる名前の変更がないとき、出力を書き込めないときも 1 です
  2  使い方の誤り、開けないパス、またはウィンドウを開くディスプレイがありません。
     何も変更していません
</translation>
    </message>
    <message>
        <source>Usage: %1 undo
Rename back the files of the last rename run, in every folder it renamed in, where
each new name still holds the file it was given to. Anything changed since is left
alone and named.

Exit status:
  0  every file was renamed back
  1  there is no run to undo, or a file could not be renamed back
  2  wrong usage
</source>
        <translation type="vanished">使い方: %1 undo
最後の名前の変更を、変更したすべてのフォルダで元に戻します。新しい名前が変更したときの
ファイルのままのものだけを戻し、その後に変更されたものはそのままにして表示します。

終了ステータス:
  0  すべてのファイルを元の名前に戻しました
  1  元に戻せる名前の変更がないか、元に戻せないファイルがありました
  2  使い方の誤りです
</translation>
    </message>
    <message>
        <source>%1: no such file or folder, and not a command</source>
        <translation>%1: そのようなファイルまたはフォルダはなく、コマンドでもありません</translation>
    </message>
    <message>
        <source>%1: there is no display to open the window on (neither DISPLAY nor WAYLAND_DISPLAY is set).
To rename without the window: %1 rename PATH...
Try &quot;%1 --help&quot; for more information.
</source>
        <translation>%1: ウィンドウを開くディスプレイがありません（DISPLAY も WAYLAND_DISPLAY も設定されていません）。
ウィンドウを使わずに名前を変更するには: %1 rename パス...
詳しくは &quot;%1 --help&quot; を実行してください。
</translation>
    </message>
    <message>
        <source>%1: cannot write the output: %2
</source>
        <translation>%1: 出力を書き込めません: %2
</translation>
    </message>
    <message>
        <source>%1: cannot start the window program %2: %3
</source>
        <translation>%1: ウィンドウのプログラム %2 を起動できません: %3
</translation>
    </message>
    <message>
        <source>%1: %2: the root folder has no name to put in front of its files
</source>
        <translation>%1: %2: ルートフォルダには、ファイル名の先頭に付ける名前がありません
</translation>
    </message>
    <message numerus="yes">
        <source>%n files renamed back</source>
        <translation>
            <numerusform>%n 個のファイルを元の名前に戻しました</numerusform>
        </translation>
    </message>
    <message>
        <source>Usage: %1 undo [N]
  or:  %1 undo --list
Rename back the files of a rename run, in every folder it renamed in, where
each new name still holds the file it was given to. Anything changed since is left
alone and named. Without N: the most recent run that is neither in progress
nor undone; with N: run N of the history.

  -l, --list   show the history of runs, newest first: number, time, files,
               state, folders

Exit status:
  0  every file was renamed back
  1  there is no run to undo, or a file could not be renamed back
  2  wrong usage
</source>
        <translation type="vanished">使い方: %1 undo [N]
  または: %1 undo --list
名前の変更を、変更したすべてのフォルダで元に戻します。新しい名前が変更したときの
ファイルのままのものだけを戻し、その後に変更されたものはそのままにして表示します。
N を指定しないと、実行中でも元に戻し済みでもない最も新しい変更を、N を指定すると
履歴の N 番の変更を元に戻します。

  -l, --list   名前の変更の履歴を新しい順に表示します: 番号、日時、ファイル数、
               状態、フォルダ

終了ステータス:
  0  すべてのファイルを元の名前に戻しました
  1  元に戻せる名前の変更がないか、元に戻せないファイルがありました
  2  使い方の誤りです
</translation>
    </message>
    <message>
        <source>undo --list takes no other arguments</source>
        <translation>undo --list にはほかの引数を指定できません</translation>
    </message>
    <message>
        <source>undo takes at most one number</source>
        <translation>undo に指定できる番号は一つだけです</translation>
    </message>
    <message>
        <source>undo takes the number of a run, as undo --list shows it</source>
        <translation>undo には、undo --list が示す番号を指定してください</translation>
    </message>
    <message>
        <source>done</source>
        <translation>完了</translation>
    </message>
    <message>
        <source>cut short</source>
        <translation>途中で中断</translation>
    </message>
    <message>
        <source>cut short, left so</source>
        <translation>途中で中断（そのまま）</translation>
    </message>
    <message>
        <source>undone</source>
        <translation>元に戻し済み</translation>
    </message>
    <message>
        <source>in progress</source>
        <translation>実行中</translation>
    </message>
    <message>
        <source>damaged</source>
        <translation>記録が破損</translation>
    </message>
    <message numerus="yes">
        <source>%n files</source>
        <translation type="vanished">
            <numerusform>%n 個のファイル</numerusform>
        </translation>
    </message>
    <message>
        <source>%1: there is no run %2 in the history
</source>
        <translation>%1: 履歴に %2 番の名前の変更はありません
</translation>
    </message>
    <message>
        <source>%1: that run is still in progress, or being undone; nothing was changed
</source>
        <translation>%1: その名前の変更はまだ実行中か、元に戻している最中です。ファイルには何も変更を加えていません
</translation>
    </message>
    <message>
        <source>%1: the drive of %2 (%3) is not connected; nothing was changed, and the run can be undone once it is
</source>
        <translation>%1: %2 のドライブ（%3）が接続されていません。ファイルには何も変更を加えていません。接続すれば元に戻せます
</translation>
    </message>
    <message>
        <source>%1: the record of the run is damaged or unreadable; nothing was changed, and the record was kept as %2
</source>
        <translation>%1: 名前の変更の記録が壊れているか読み込めないため、使用できません。ファイルには何も変更を加えていません。記録は %2 に残しました
</translation>
    </message>
    <message>
        <source>its drive is not connected</source>
        <translation>ドライブが接続されていません</translation>
    </message>
    <message>
        <source>%1: the window opens one folder, and these paths lie in several:
</source>
        <translation>%1: ウィンドウで開けるフォルダは一つです。指定されたパスは次の複数のフォルダにあります:
</translation>
    </message>
    <message>
        <source>To rename files of several folders: %1 rename PATH...
</source>
        <translation>複数のフォルダのファイル名を変更するには: %1 rename PATH...
</translation>
    </message>
    <message>
        <source>Usage: %1 [FOLDER | FILE...]
  or:  %1 rename [OPTION...] PATH...
  or:  %1 merge [OPTION...] SOURCE... DEST
  or:  %1 undo
</source>
        <translation type="vanished">使い方: %1 [フォルダ | ファイル...]
  または: %1 rename [オプション...] パス...
  または: %1 merge [オプション...] 元... 先
  または: %1 undo
</translation>
    </message>
    <message>
        <source>
Merge: %1 merge [OPTION...] SOURCE... DEST
Move every file of the SOURCE folders, at any depth, into DEST (made if absent),
each named after the folder it lay in: /pics/cats/a.jpg becomes DEST/cats_a.jpg;
a name that begins with its folder&apos;s name and &quot;_&quot; keeps it. A SOURCE that is a
file moves that file. An existing file is never replaced: a file whose new name
holds the same content goes to the Trash, one whose new name holds other content
stays where it is. Emptied folders are removed. &quot;%1 undo&quot; takes the whole merge
back.
  -n, --dry-run        print each move as &quot;old -&gt; new&quot;, each duplicate that would
                       go to the Trash, and each file that would stay, with why;
                       change nothing
  -v, --verbose        print each move as it is made
  -a, --all            also hidden files and folders
      --keep-duplicates  leave duplicates where they are, not in the Trash
      --number         move a file whose new name holds other content as
                       &quot;name (2).ext&quot;, with the first free number
      --keep-folders   keep the emptied folders
      --no-undo        keep no record of the merge
Exit status: 0 every file was moved, or put in the Trash as a duplicate; 1 some
files were left where they were, or a failure stopped the merge; 2 wrong usage
or a path that cannot be opened: nothing was moved.
</source>
        <translation type="vanished">
まとめる: %1 merge [オプション...] 元... 先
元のフォルダとそのサブフォルダ（深さを問わず）のすべてのファイルを「先」へ移します
（「先」がなければ作ります）。各ファイルには元のフォルダ名が付きます：
/pics/cats/a.jpg は 先/cats_a.jpg になります。フォルダ名と「_」で始まる名前は
そのままです。元がファイルなら、そのファイルを移します。既存のファイルは決して
上書きしません：新しい名前に同じ内容のファイルがあれば、移すファイルはゴミ箱へ、
違う内容のファイルがあれば、移さずにそのまま残します。空になったフォルダは削除
します。「%1 undo」でまとめた操作全体を元に戻せます。
  -n, --dry-run        移動を「元 -&gt; 先」で、ゴミ箱へ入る重複と残るファイルを
                       理由とともに表示し、何も変更しません
  -v, --verbose        移動するたびに表示します
  -a, --all            隠しファイルと隠しフォルダも移します
      --keep-duplicates  重複をゴミ箱へ入れずにそのまま残します
      --number         違う内容と名前が重なるファイルを「名前 (2).拡張子」の
                       ように、空いている最初の番号で移します
      --keep-folders   空になったフォルダを残します
      --no-undo        記録を残しません（元に戻せません）
終了ステータス: 0 すべてのファイルを移した（重複はゴミ箱へ入れた）; 1 一部の
ファイルが残った、または失敗で中断した; 2 使い方の誤り、または開けないパス
（何も移していません）
</translation>
    </message>
    <message>
        <source>merge needs at least one SOURCE and a DEST</source>
        <translation>merge には元を一つ以上と先を指定してください</translation>
    </message>
    <message>
        <source>%1 holds other content</source>
        <translation>%1 に違う内容のファイルがあります</translation>
    </message>
    <message>
        <source>the same as %1, kept</source>
        <translation>%1 と同じ内容のため、そのまま残しました</translation>
    </message>
    <message>
        <source>hidden (its name begins with &quot;.&quot;)</source>
        <translation>隠しファイルです（名前が「.」で始まります）</translation>
    </message>
    <message>
        <source>a link to a folder</source>
        <translation>フォルダへのリンクです</translation>
    </message>
    <message>
        <source>the same as %1, and cannot go to the Trash: %2</source>
        <translation>%1 と同じ内容ですが、ゴミ箱へ入れられません: %2</translation>
    </message>
    <message>
        <source>cannot be moved to %1: %2</source>
        <translation>%1 へ移せません: %2</translation>
    </message>
    <message>
        <source>%1 -&gt; the Trash (the same as %2)
</source>
        <translation>%1 -&gt; ゴミ箱（%2 と同じ内容）
</translation>
    </message>
    <message>
        <source>%1: left: %2
</source>
        <translation>%1: 残しました: %2
</translation>
    </message>
    <message>
        <source>%1 -&gt; the Trash
</source>
        <translation>%1 -&gt; ゴミ箱
</translation>
    </message>
    <message>
        <source>%1: nothing moved: the merge could not be recorded for undo in %2: %3
</source>
        <translation>%1: 何も移していません: 元に戻すための記録を %2 に書けませんでした: %3
</translation>
    </message>
    <message>
        <source>%1: the moves into %2 were made but may not survive a power cut: %3
</source>
        <translation>%1: %2 への移動は行いましたが、電源が切れると失われるおそれがあります: %3
</translation>
    </message>
    <message>
        <source>%1: %2: %3
</source>
        <translation>%1: %2: %3
</translation>
    </message>
    <message>
        <source>the destination is not a folder</source>
        <translation>先がフォルダではありません</translation>
    </message>
    <message>
        <source>a source cannot be the destination itself</source>
        <translation>元と先に同じフォルダは指定できません</translation>
    </message>
    <message>
        <source>the root folder has no name to put in front of its files</source>
        <translation>ルートフォルダにはファイル名の先頭に付ける名前がありません</translation>
    </message>
    <message>
        <source>the destination lies inside this source through a link</source>
        <translation type="vanished">リンクをたどると、先がこの元の中にあります</translation>
    </message>
    <message>
        <source>the file is in the destination already</source>
        <translation>このファイルはすでに先にあります</translation>
    </message>
    <message>
        <source>Put the name of its folder in front of each file&apos;s name: /pics/cats/a.jpg becomes /pics/cats/cats_a.jpg.
An existing file is never replaced.

Without a command, the window opens: on FOLDER, or on the folder of the FILEs with them selected.

Commands:
  rename PATH...   rename the files named, and every file of each folder named
  undo             undo the last rename run, in every folder it renamed in

Options:
  -n, --dry-run    print each rename as &quot;old -&gt; new&quot; and change nothing
  -r, --recursive  rename in every subfolder too, each file with its own folder&apos;s name;
                   a symbolic link to a folder is never followed
  -v, --verbose    print each rename as &quot;old -&gt; new&quot; as it is made
  -a, --all        also the names beginning with &quot;.&quot; in the folders named, and hidden
                   subfolders; left out otherwise, since the prefix would unhide them
      --no-undo    keep no record of the run: faster over many folders, but undo
                   cannot take it back
  -j, --jobs=N     rename in N folders at once, each in its own order (by default one
                   per core, four per core on network and FUSE drives); undo takes
                   it too
  -h, --help       show this help and exit
  -V, --version    show the version and exit

Names that are not printable are shown escaped (\xff, \n), one rename per line.
</source>
        <translation type="vanished">フォルダ内の各ファイルの名前の先頭に、そのフォルダの名前を付けます: /pics/cats/a.jpg は /pics/cats/cats_a.jpg になります。
既にあるファイルを上書きすることはありません。

コマンドを指定しないとウィンドウを開きます: フォルダを指定するとそのフォルダを、ファイルを指定するとそのフォルダを開いてファイルを選択します。

コマンド:
  rename パス...   指定したファイルと、指定したフォルダ内のすべてのファイルの名前を変更します
  undo             最後の名前の変更を、変更したすべてのフォルダで元に戻します

オプション:
  -n, --dry-run    変更する名前を &quot;旧 -&gt; 新&quot; の形で表示するだけで、何も変更しません
  -r, --recursive  サブフォルダ内もすべて、各ファイルにそのフォルダの名前を付けます。
                   フォルダへのシンボリックリンクはたどりません
  -v, --verbose    名前を変更するたびに &quot;旧 -&gt; 新&quot; の形で表示します
  -a, --all        指定したフォルダ内の &quot;.&quot; で始まる名前と、隠しサブフォルダも対象にします。
                   名前を付けると隠しファイルでなくなるため、指定しなければ対象外です
      --no-undo    元に戻すための記録を残しません。多くのフォルダでは速くなりますが、
                   undo で元に戻せません
  -j, --jobs=N     N 個のフォルダで同時に名前を変更します。各フォルダ内は順番どおりです
                   （既定はコア 1 つにつき 1 個、ネットワークと FUSE のドライブでは
                   コア 1 つにつき 4 個）。undo にも指定できます
  -h, --help       このヘルプを表示して終了します
  -V, --version    バージョンを表示して終了します

表示できない文字を含む名前はエスケープして表示します（\xff、\n）。一行に一件です。
</translation>
    </message>
    <message>
        <source>Usage: %1 undo [-j N] [N]
  or:  %1 undo --list
Rename back the files of a rename run, in every folder it renamed in, where
each new name still holds the file it was given to. Anything changed since is left
alone and named. Without N: the most recent run that is neither in progress
nor undone; with N: run N of the history.

  -l, --list   show the history of runs, newest first: number, time, files,
               state, folders
  -j, --jobs=N undo in N folders at once (by default one per core, four per
               core on network and FUSE drives)

Exit status:
  0  every file was renamed back
  1  there is no run to undo, or a file could not be renamed back
  2  wrong usage
</source>
        <translation type="vanished">使い方: %1 undo [-j N] [N]
  または: %1 undo --list
名前の変更を、変更したすべてのフォルダで元に戻します。新しい名前が変更したときの
ファイルのままのものだけを戻し、その後に変更されたものはそのままにして表示します。
N を指定しないと、実行中でも元に戻し済みでもない最も新しい変更を、N を指定すると
履歴の N 番の変更を元に戻します。

  -l, --list   名前の変更の履歴を新しい順に表示します: 番号、日時、ファイル数、
               状態、フォルダ
  -j, --jobs=N N 個のフォルダで同時に元に戻します（既定はコア 1 つにつき 1 個、
               ネットワークと FUSE のドライブではコア 1 つにつき 4 個）

終了ステータス:
  0  すべてのファイルを元の名前に戻しました
  1  元に戻せる名前の変更がないか、元に戻せないファイルがありました
  2  使い方の誤りです
</translation>
    </message>
    <message>
        <source>-j takes how many folders at once, from 1 to 256</source>
        <translation>-j には同時に処理するフォルダの数を 1 から 256 で指定してください</translation>
    </message>
    <message>
        <source>%1: nothing more renamed in %2: the run could not be recorded for undo in %3: %4
</source>
        <translation>%1: %2 ではこれ以上名前を変更していません。元に戻すための記録を %3 に保存できませんでした: %4
</translation>
    </message>
    <message>
        <source>%1: each folder as the run left it:
</source>
        <translation>%1: 各フォルダの状態:
</translation>
    </message>
    <message>
        <source>  done: %1
</source>
        <translation>  完了: %1
</translation>
    </message>
    <message>
        <source>  stopped at %1: %2
</source>
        <translation>  %1 で停止: %2
</translation>
    </message>
    <message>
        <source>  stopped before %1: it could not be recorded
</source>
        <translation>  %1 の前で停止: 記録を保存できませんでした
</translation>
    </message>
    <message>
        <source>  stopped before %1: a failure elsewhere
</source>
        <translation>  %1 の前で停止: 別のフォルダで失敗しました
</translation>
    </message>
    <message>
        <source>  not started: %1
</source>
        <translation>  未着手: %1
</translation>
    </message>
    <message numerus="yes">
        <source>%n files moved back</source>
        <translation>
            <numerusform>%n 個のファイルを元の場所に戻しました</numerusform>
        </translation>
    </message>
    <message>
        <source>%1: cannot move %2 back to %3: %4
</source>
        <translation>%1: %2 を %3 に戻せません: %4
</translation>
    </message>
    <message>
        <source>Usage: %1 [FOLDER | FILE...]
  or:  %1 rename [OPTION...] PATH...
  or:  %1 merge [OPTION...] SOURCE... DEST
  or:  %1 undo [-j N] [N]
  or:  %1 undo --list
</source>
        <translation type="vanished">使い方: %1 [フォルダ | ファイル...]
  または: %1 rename [オプション...] パス...
  または: %1 merge [オプション...] 元... 先
  または: %1 undo [-j N] [N]
  または: %1 undo --list
</translation>
    </message>
    <message>
        <source>Move every file of the SOURCE folders, at any depth, into DEST (made if absent),
each named after the folder it lay in: /pics/cats/a.jpg becomes DEST/cats_a.jpg;
a name that begins with its folder&apos;s name and &quot;_&quot; keeps it. A SOURCE that is a
file moves that file; a SOURCE that is a link to a folder is never followed, with
or without a slash after it: it stays, and is named. An existing file is never
replaced: a file whose new name holds the same content goes to the Trash, one
whose new name holds other content stays where it is. Emptied folders are
removed. A file copied to another drive keeps its times, mode, extended
attributes and ACL where that drive can hold them; what it cannot is named.
&quot;%1 undo&quot; takes the whole merge back.
  -n, --dry-run        print each move as &quot;old -&gt; new&quot;, each duplicate that would
                       go to the Trash, and each file that would stay, with why,
                       as the merge would find it; change nothing
  -v, --verbose        print each move as it is made
  -a, --all            also hidden files and folders
      --keep-duplicates  leave duplicates where they are, not in the Trash
      --number         move a file whose new name holds other content as
                       &quot;name (2).ext&quot;, with the first free number
      --keep-folders   keep the emptied folders
      --name-from=WHICH  which folders a new name carries: &quot;folder&quot; the one
                       the file lay in (the default); &quot;source&quot; the SOURCE
                       folder, however deep the file lay: card1/DCIM/100CANON/
                       IMG_1.JPG becomes DEST/card1_IMG_1.JPG; &quot;path&quot; every
                       folder from the SOURCE down: card1_DCIM_100CANON_IMG_1.JPG
      --dedupe[=KEEP]  keep each content once, whatever its name: of files of
                       equal bytes among the SOURCEs and DEST, DEST&apos;s are kept, else
                       one (KEEP &quot;first&quot;: the first SOURCE&apos;s, the default;
                       &quot;oldest&quot; or &quot;newest&quot; by modification time); the others go
                       to the Trash. Empty files are never duplicates
      --no-undo        keep no record of the merge
  -h, --help           show this help and exit
Exit status: 0 every file was moved, or put in the Trash as a duplicate (hidden
files and links to folders inside the SOURCE folders stay by design, and do not
count); 1 some files stayed where they were, each named on standard error with
why, or a failure stopped the merge; 2 wrong usage or a path that cannot be
opened: nothing was moved.
</source>
        <translation>元のフォルダとそのサブフォルダ（深さを問わず）のすべてのファイルを「先」へ移します
（「先」がなければ作ります）。各ファイルには元のフォルダ名が付きます：
/pics/cats/a.jpg は 先/cats_a.jpg になります。フォルダ名と「_」で始まる名前は
そのままです。元がファイルなら、そのファイルを移します。元がフォルダへのリンクなら、
最後に「/」があってもなくても、リンクはたどらずにそのまま残し、表示します。既存の
ファイルは決して上書きしません：新しい名前に同じ内容のファイルがあれば、移すファイルは
ゴミ箱へ、違う内容のファイルがあれば、移さずにそのまま残します。空になったフォルダは
削除します。別のドライブへコピーするファイルは、日時・アクセス権・拡張属性・ACL を
そのドライブが扱える限り引き継ぎ、扱えないものは表示します。「%1 undo」でまとめた
操作全体を元に戻せます。
  -n, --dry-run        移動を「元 -&gt; 先」で、ゴミ箱へ入る重複と残るファイルを
                       実際にまとめるときと同じ理由とともに表示し、何も変更しません
  -v, --verbose        移動するたびに表示します
  -a, --all            隠しファイルと隠しフォルダも移します
      --keep-duplicates  重複をゴミ箱へ入れずにそのまま残します
      --number         違う内容と名前が重なるファイルを「名前 (2).拡張子」の
                       ように、空いている最初の番号で移します
      --keep-folders   空になったフォルダを残します
      --name-from=WHICH  新しい名前に付けるフォルダ名：「folder」ファイルがあった
                       フォルダ（既定）、「source」深さを問わず元のフォルダ：
                       card1/DCIM/100CANON/IMG_1.JPG は 先/card1_IMG_1.JPG に、
                       「path」元のフォルダから下のすべてのフォルダ：
                       card1_DCIM_100CANON_IMG_1.JPG
      --dedupe[=KEEP]  名前を問わず同じ内容を一つだけ残します：元と先にある同じ内容の
                       ファイルのうち、先のものはすべて残し、なければ一つを残します
                       （KEEP「first」最初の元のもの（既定）、「oldest」「newest」更新
                       日時が最も古いもの・新しいもの）。ほかはゴミ箱へ入れます。空の
                       ファイルは重複とみなしません
      --no-undo        記録を残しません（元に戻せません）
  -h, --help           このヘルプを表示して終了します
終了ステータス: 0 すべてのファイルを移した（重複はゴミ箱へ入れた。元のフォルダの中の
隠しファイルとフォルダへのリンクは決まりどおり残し、数えません）; 1 一部のファイルが
残った（それぞれ理由とともに標準エラー出力に表示します）、または失敗で中断した;
2 使い方の誤り、または開けないパス（何も移していません）
</translation>
    </message>
    <message>
        <source>Take back a run, a rename or a merge, in every folder it changed: each file goes
back to its old name and folder where its new name still holds the file it was
given to. Anything changed since is left alone and named. Without N: the most
recent run that is neither in progress nor undone; with N: run N of the history.
  -l, --list   show the history of runs, newest first: number, time, files,
               state, folders
  -j, --jobs=N undo in N folders at once (by default one per core, four per
               core on network and FUSE drives)
  -h, --help   show this help and exit
</source>
        <translation type="vanished">名前の変更やまとめた操作を、変更したすべてのフォルダで元に戻します。新しい名前が
そのとき付けたファイルのままのものだけを元の名前と場所に戻し、その後に変更された
ものはそのままにして表示します。N を指定しないと、実行中でも元に戻し済みでもない
最も新しい操作を、N を指定すると履歴の N 番の操作を元に戻します。
  -l, --list   操作の履歴を新しい順に表示します: 番号、日時、ファイル数、
               状態、フォルダ
  -j, --jobs=N N 個のフォルダで同時に元に戻します（既定はコア 1 つにつき 1 個、
               ネットワークと FUSE のドライブではコア 1 つにつき 4 個）
  -h, --help   このヘルプを表示して終了します
</translation>
    </message>
    <message>
        <source>Usage: %1 undo [-j N] [N]
  or:  %1 undo --list
</source>
        <translation type="vanished">使い方: %1 undo [-j N] [N]
  または: %1 undo --list
</translation>
    </message>
    <message>
        <source>Put the name of its folder in front of each file&apos;s name: /pics/cats/a.jpg becomes /pics/cats/cats_a.jpg.
An existing file is never replaced.

Without a command, the window opens: on FOLDER, or on the folder of the FILEs with them selected.

Commands:
  rename PATH...        rename the files named, and every file of each folder named
  merge SOURCE... DEST  move every file of the SOURCE folders into DEST, each named
                        after the folder it lay in
  undo [N]              take back the last run, or run N of the history
  undo --list           show the history of runs, newest first

Options:
  -h, --help       show this help and exit; after a command, that command&apos;s own
  -V, --version    show the version and exit

Options of rename:
  -n, --dry-run    print each rename as &quot;old -&gt; new&quot; and change nothing
  -r, --recursive  rename in every subfolder too, each file with its own folder&apos;s name;
                   a symbolic link to a folder is never followed
  -v, --verbose    print each rename as &quot;old -&gt; new&quot; as it is made
  -a, --all        also the names beginning with &quot;.&quot; in the folders named, and hidden
                   subfolders; left out otherwise, since the prefix would unhide them
      --no-undo    keep no record of the run: faster over many folders, but undo
                   cannot take it back
  -j, --jobs=N     rename in N folders at once, each in its own order (by default one
                   per core, four per core on network and FUSE drives); undo takes
                   it too

Names that are not printable are shown escaped (\xff, \n), one rename per line.
</source>
        <translation>フォルダ内の各ファイルの名前の先頭に、そのフォルダの名前を付けます: /pics/cats/a.jpg は /pics/cats/cats_a.jpg になります。
既にあるファイルを上書きすることはありません。

コマンドを指定しないとウィンドウを開きます: フォルダを指定するとそのフォルダを、ファイルを指定するとそのフォルダを開いてファイルを選択します。

コマンド:
  rename パス...        指定したファイルと、指定したフォルダ内のすべてのファイルの名前を変更します
  merge 元... 先        元のフォルダのすべてのファイルを、それぞれ元のフォルダ名を付けて
                        先へ移します
  undo [N]              最後の操作を、または履歴の N 番の操作を元に戻します
  undo --list           操作の履歴を新しい順に表示します

オプション:
  -h, --help       このヘルプを表示して終了します。コマンドの後では、そのコマンドのヘルプです
  -V, --version    バージョンを表示して終了します

rename のオプション:
  -n, --dry-run    変更する名前を &quot;旧 -&gt; 新&quot; の形で表示するだけで、何も変更しません
  -r, --recursive  サブフォルダ内もすべて、各ファイルにそのフォルダの名前を付けます。
                   フォルダへのシンボリックリンクはたどりません
  -v, --verbose    名前を変更するたびに &quot;旧 -&gt; 新&quot; の形で表示します
  -a, --all        指定したフォルダ内の &quot;.&quot; で始まる名前と、隠しサブフォルダも対象にします。
                   名前を付けると隠しファイルでなくなるため、指定しなければ対象外です
      --no-undo    元に戻すための記録を残しません。多くのフォルダでは速くなりますが、
                   undo で元に戻せません
  -j, --jobs=N     N 個のフォルダで同時に名前を変更します。各フォルダ内は順番どおりです
                   （既定はコア 1 つにつき 1 個、ネットワークと FUSE のドライブでは
                   コア 1 つにつき 4 個）。undo にも指定できます

表示できない文字を含む名前はエスケープして表示します（\xff、\n）。一行に一件です。
</translation>
    </message>
    <message>
        <source>
Merge: %1 merge [OPTION...] SOURCE... DEST
</source>
        <translation type="vanished">
まとめる: %1 merge [オプション...] 元... 先
</translation>
    </message>
    <message>
        <source>
Undo: %1 undo [-j N] [N]
  or:  %1 undo --list
</source>
        <translation type="vanished">
元に戻す: %1 undo [-j N] [N]
  または: %1 undo --list
</translation>
    </message>
    <message>
        <source>Usage: %1 merge [OPTION...] SOURCE... DEST
</source>
        <translation>使い方: %1 merge [オプション...] 元... 先
</translation>
    </message>
    <message>
        <source>
Exit status:
  0  every file was put back
  1  there is no run to undo, or a file could not be put back
  2  wrong usage
</source>
        <translation>
終了ステータス:
  0  すべてのファイルを元に戻しました
  1  元に戻せる操作がないか、元に戻せないファイルがありました
  2  使い方の誤りです
</translation>
    </message>
    <message>
        <source>a link to a folder: name the folder itself</source>
        <translation>フォルダへのリンクです（リンクはたどりません。フォルダそのものを指定してください）</translation>
    </message>
    <message>
        <source>its new name %1 is too long for the destination&apos;s drive</source>
        <translation>新しい名前 %1 は先のドライブには長すぎます</translation>
    </message>
    <message>
        <source>its folder cannot be changed: %1</source>
        <translation>元のフォルダを変更できません: %1</translation>
    </message>
    <message>
        <source>the destination cannot be written in: %1</source>
        <translation>先に書き込めません: %1</translation>
    </message>
    <message>
        <source>a pipe, socket or device, which cannot be copied to another drive</source>
        <translation>パイプ・ソケット・デバイスは別のドライブへコピーできません</translation>
    </message>
    <message>
        <source>the same as %1, and its drive has no Trash to take it</source>
        <translation>%1 と同じ内容ですが、このドライブにはゴミ箱がありません</translation>
    </message>
    <message>
        <source>the same as %1, and its name is too long for the Trash</source>
        <translation>%1 と同じ内容ですが、名前が長すぎてゴミ箱へ入れられません</translation>
    </message>
    <message>
        <source>the running program&apos;s own file</source>
        <translation>実行中のプログラム自身のファイルです</translation>
    </message>
    <message>
        <source>it was changed while it was being copied; its copy was removed</source>
        <translation>コピーしている間に変更されたため、コピーを消して残しました</translation>
    </message>
    <message>
        <source>another user&apos;s file, in a shared folder where only its owner may move it</source>
        <translation>別のユーザーのファイルです（共有フォルダのため、持ち主しか移動できません）</translation>
    </message>
    <message>
        <source>its extended attributes and its ACL</source>
        <translation>拡張属性と ACL</translation>
    </message>
    <message>
        <source>its ACL</source>
        <translation>ACL</translation>
    </message>
    <message>
        <source>its extended attributes</source>
        <translation>拡張属性</translation>
    </message>
    <message>
        <source>%1: moved without %2, which its drive cannot hold
</source>
        <translation>%1: 移しましたが、移動先のドライブが扱えないため %2 は移せませんでした
</translation>
    </message>
    <message>
        <source>Take back a run, a rename or a merge, in every folder it changed: each file goes
back to its old name and folder where its new name still holds the file it was
given to. Anything changed since is left alone and named. Without N: the most
recent run that is neither in progress nor undone; with N: run N of the history.
  -l, --list     show the history of runs, newest first: number, time, files,
                 state, folders
  -j, --jobs=N   undo in N folders at once (by default one per core, four per
                 core on network and FUSE drives)
  -h, --help     show this help and exit
</source>
        <translation type="vanished">名前の変更やまとめた操作を、変更したすべてのフォルダで元に戻します。新しい名前が
そのとき付けたファイルのままのものだけを元の名前と場所に戻し、その後に変更された
ものはそのままにして表示します。N を指定しないと、実行中でも元に戻し済みでもない
最も新しい操作を、N を指定すると履歴の N 番の操作を元に戻します。
  -l, --list     操作の履歴を新しい順に表示します: 番号、日時、ファイル数、
                 状態、フォルダ
  -j, --jobs=N   N 個のフォルダで同時に元に戻します（既定はコア 1 つにつき 1 個、
                 ネットワークと FUSE のドライブではコア 1 つにつき 4 個）
  -h, --help     このヘルプを表示して終了します
</translation>
    </message>
    <message>
        <source>
Merge (%1 merge [OPTION...] SOURCE... DEST):
</source>
        <translation type="vanished">
まとめる（%1 merge [オプション...] 元... 先）:
</translation>
    </message>
    <message>
        <source>
Undo (%1 undo [-j N] [N], %1 undo --list):
</source>
        <translation type="vanished">
元に戻す（%1 undo [-j N] [N]、%1 undo --list）:
</translation>
    </message>
    <message>
        <source>
Merge (%1 merge [OPTION...] SOURCE... DEST):

</source>
        <translation>
まとめる（%1 merge [オプション...] 元... 先）:

</translation>
    </message>
    <message>
        <source>
Undo (%1 undo [-j N] [N], %1 undo --list):

</source>
        <translation>
元に戻す（%1 undo [-j N] [N]、%1 undo --list）:

</translation>
    </message>
    <message>
        <source>Usage: %1 [FOLDER | FILE...]
  or:  %1 rename [OPTION...] PATH...
  or:  %1 merge [OPTION...] SOURCE... DEST
  or:  %1 undo [-j N] [N]
  or:  %1 undo --list [-v]
</source>
        <translation type="vanished">名前の変更やまとめた操作を、変更したすべてのフォルダで元に戻します。新しい名前が
そのとき付けたファイルのままのものだけを元の名前と場所に戻し、その後に変更された
ものはそのままにして表示します。N を指定しないと、実行中でも元に戻し済みでもない
最も新しい操作を、N を指定すると履歴の N 番の操作を元に戻します。
  -l, --list   操作の履歴を新しい順に表示します: 番号、日時、ファイル数、
               状態、最初のフォルダとほかのフォルダの数
  -v, --verbose  --list と一緒に指定すると、各操作のすべてのフォルダを表示します
  -j, --jobs=N N 個のフォルダで同時に元に戻します（既定はコア 1 つにつき 1 個、
               ネットワークと FUSE のドライブではコア 1 つにつき 4 個）
  -h, --help   このヘルプを表示して終了します
</translation>
    </message>
    <message>
        <source>Usage: %1 undo [-j N] [N]
  or:  %1 undo --list [-v]
</source>
        <translation type="vanished">使い方: %1 undo [-j N] [N]
  または: %1 undo --list [-v]
</translation>
    </message>
    <message>
        <source>-v goes with undo --list</source>
        <translation>-v は undo --list と一緒に指定してください</translation>
    </message>
    <message numerus="yes">
        <source>%1 and %n more</source>
        <translation>
            <numerusform>%1 ほか %n 個</numerusform>
        </translation>
    </message>
    <message>
        <source>Take back a run, a rename or a merge, in every folder it changed: each file goes
back to its old name and folder where its new name still holds the file it was
given to. Anything changed since is left alone and named; a file that cannot
be reached now is left for a later undo, and the run stays partly undone.
Without N: the most recent run that is neither in progress nor undone (none
while the newest is in progress); with N: run N of the history.
  -l, --list     show the history of runs, newest first: number, time, files,
                 state, the first folder and how many more
  -v, --verbose  with --list: every folder of each run
  -j, --jobs=N   undo in N folders at once (by default one per core, four per
                 core on network and FUSE drives)
  -h, --help     show this help and exit
</source>
        <translation>名前の変更やまとめた操作を、変更したすべてのフォルダで元に戻します。新しい名前が
そのとき付けたファイルのままのものだけを元の名前と場所に戻し、その後に変更された
ものはそのままにして表示します。今は確認できないファイルはあとで元に戻せるように
残し、その操作は「一部を元に戻した」状態になります。N を指定しないと、実行中でも
元に戻し済みでもない最も新しい操作を（最も新しい操作が実行中なら何も）、N を指定
すると履歴の N 番の操作を元に戻します。
  -l, --list     操作の履歴を新しい順に表示します: 番号、日時、ファイル数、
                 状態、最初のフォルダとほかのフォルダの数
  -v, --verbose  --list で、各操作のすべてのフォルダを表示します
  -j, --jobs=N   N 個のフォルダで同時に元に戻します（既定はコア 1 つにつき 1 個、
                 ネットワークと FUSE のドライブではコア 1 つにつき 4 個）
  -h, --help     このヘルプを表示して終了します
</translation>
    </message>
    <message>
        <source>the drive %1 (%2) has no rename that cannot replace a file</source>
        <translation>ドライブ %1（%2）には既存のファイルを上書きしない名前の変更がありません</translation>
    </message>
    <message>
        <source>the drive %1 (%2) sends what is written to its server only later, so a rename there could empty a file; mount it without a write cache (for rclone: --vfs-cache-mode off or minimal)</source>
        <translation>ドライブ %1（%2）は書き込んだ内容を後からサーバーへ送るため、名前を変更するとファイルが空になるおそれがあります。書き込みキャッシュなしでマウントしてください（rclone では --vfs-cache-mode off か minimal）</translation>
    </message>
    <message>
        <source>the drive %1 does not answer (its server stopped or the connection to it broke)</source>
        <translation>ドライブ %1 が応答しません（サーバーが止まったか、接続が切れました）</translation>
    </message>
    <message>
        <source>%1: skipped the run of %2 in %3: it cannot be undone now (%4)
</source>
        <translation>%1: %2 に %3 で行った実行は、今は元に戻せないため飛ばしました（%4）
</translation>
    </message>
    <message>
        <source>%1: stopped before %2, as asked
</source>
        <translation>%1: 指示どおり %2 の前で止めました
</translation>
    </message>
    <message>
        <source>%1: stopped by the user; &quot;%1 undo&quot; takes back what was renamed
</source>
        <translation>%1: ユーザーの指示で止めました。&quot;%1 undo&quot; で変更した名前を元に戻せます
</translation>
    </message>
    <message>
        <source>%1: the drive %2 has not answered for %3 seconds; waiting for it (Ctrl+C stops between two files)
</source>
        <translation>%1: ドライブ %2 が %3 秒間応答していません。応答を待っています（Ctrl+C でファイルとファイルの間で止めます）
</translation>
    </message>
    <message>
        <source>%1: the drive may still have made it: %2 may now also, or only, be named %3; the run is left cut short, and &quot;%1 undo&quot; takes it back once the drive answers
</source>
        <translation>%1: ドライブがこの変更を行った可能性があります。%2 は %3 という名前でもある（またはその名前だけになっている）かもしれません。実行は中断された状態で残してあります。ドライブが応答するようになったら &quot;%1 undo&quot; で元に戻せます
</translation>
    </message>
    <message>
        <source>stopped by the user</source>
        <translation>ユーザーが中止</translation>
    </message>
    <message>
        <source>cut short, its drive (%1) not connected</source>
        <translation>途中で中断、ドライブ（%1）が未接続</translation>
    </message>
    <message numerus="yes">
        <source>partly undone, %n of %1 back</source>
        <translation>
            <numerusform>一部を元に戻した（%1 個のうち %n 個）</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n files moved</source>
        <translation>
            <numerusform>%n 個のファイルを移動</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n files planned</source>
        <translation>
            <numerusform>%n 個のファイル（予定）</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>, %n left</source>
        <translation>
            <numerusform>、%n 個は残した</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n files renamed</source>
        <translation>
            <numerusform>%n 個のファイルの名前を変更</numerusform>
        </translation>
    </message>
    <message>
        <source>%1: the newest run, in %2, is still in progress; nothing was undone
</source>
        <translation>%1: 最新の処理（%2）はまだ実行中です。何も元に戻していません
</translation>
    </message>
    <message>
        <source>%1: there is no run to undo
</source>
        <translation>%1: 元に戻せる処理はありません
</translation>
    </message>
    <message>
        <source>%1: that run was undone already; nothing was changed
</source>
        <translation>%1: その処理は既に元に戻してあります。何も変更していません
</translation>
    </message>
    <message numerus="yes">
        <source>, %n of them out of the Trash</source>
        <translation>
            <numerusform>（うち %n 個はゴミ箱から）</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%1: %n files cannot be reached now; they are left for a later undo
</source>
        <translation>
            <numerusform>%1: %n 個のファイルは今は確認できないため、あとで元に戻せるよう残しました
</numerusform>
        </translation>
    </message>
    <message>
        <source>it cannot be reached now: %1</source>
        <translation>今は確認できません: %1</translation>
    </message>
    <message>
        <source>Usage: %1 [FOLDER | FILE...]
  or:  %1 rename [OPTION...] PATH...
  or:  %1 merge [OPTION...] SOURCE... DEST
  or:  %1 undo [-j N] [N]
  or:  %1 undo --list [-v] [--json]
</source>
        <translation>使い方: %1 [フォルダ | ファイル...]
  または: %1 rename [オプション...] パス...
  または: %1 merge [オプション...] 元... 先
  または: %1 undo [-j N] [N]
  または: %1 undo --list [-v] [--json]
</translation>
    </message>
    <message>
        <source>Usage: %1 undo [-j N] [N]
  or:  %1 undo --list [-v] [--json]
</source>
        <translation>使い方: %1 undo [-j N] [N]
  または: %1 undo --list [-v] [--json]
</translation>
    </message>
    <message>
        <source>%1 of %2 files</source>
        <translation>%1 / %2 ファイル</translation>
    </message>
    <message>
        <source>%1/s</source>
        <translation>毎秒 %1</translation>
    </message>
    <message>
        <source>%1 left</source>
        <translation>残り %1</translation>
    </message>
    <message>
        <source>
Options of rename, merge and undo:
</source>
        <translation>
rename、merge、undo のオプション:
</translation>
    </message>
    <message>
        <source>      --progress     draw the progress line on standard error even when it is not a
                     terminal
      --no-progress  never draw it; by default a run on a terminal draws it once it
                     has lasted a second: files done of all, the rate, the time
                     left, the folder
</source>
        <translation>      --progress     端末でなくても、標準エラー出力に進み具合の行を表示します
      --no-progress  進み具合の行を表示しません。既定では、端末で 1 秒以上かかる
                     処理のとき、済んだファイル数と全体の数、速さ、残り時間、
                     フォルダを表示します
</translation>
    </message>
    <message>
        <source>      --json     with --list: one JSON object per run and line, for scripts: number,
                 time, kind (rename, merge), state (done, stopped, cut-short,
                 cut-short-drive-absent, cut-short-left, partly-undone, undone,
                 in-progress, damaged), files, changed, back, folders, and a
                 merge&apos;s destination
</source>
        <translation>      --json     --list で、スクリプト向けに操作ごとに 1 行の JSON オブジェクトを
                 出力します: number（番号）、time（日時）、kind（rename、merge）、
                 state（done、stopped、cut-short、cut-short-drive-absent、
                 cut-short-left、partly-undone、undone、in-progress、damaged）、
                 files、changed、back、folders、まとめた操作の destination
</translation>
    </message>
    <message>
        <source>--json goes with undo --list</source>
        <translation>--json は undo --list と一緒に指定します</translation>
    </message>
    <message>
        <source>
For file managers:
  rename --notify PATH...   rename as above, and show a failure in a box as well
  merge --window SOURCE...  open the merge window, the SOURCE folders checked and
                            their parent as the destination
</source>
        <translation>
ファイルマネージャー用:
  rename --notify パス...   rename と同じく名前を変更し、失敗はメッセージボックスにも
                            表示します
  merge --window 元...      まとめるウィンドウを開きます。元のフォルダにチェックを付け、
                            その親フォルダをまとめ先にします
</translation>
    </message>
    <message>
        <source>--name-from takes folder, source or path</source>
        <translation>--name-from には folder、source、path のどれかを指定してください</translation>
    </message>
    <message numerus="yes">
        <source>%1: %n files clash only because folders of one name lie in different places; --name-from=%2 parts them
</source>
        <translation>
            <numerusform>%1: %n 個のファイルは、同じ名前のフォルダが別々の場所にあるためだけに名前が重なります。--name-from=%2 なら重なりません
</numerusform>
        </translation>
    </message>
    <message>
        <source>--dedupe takes first, oldest or newest</source>
        <translation>--dedupe には first、oldest、newest のどれかを指定してください</translation>
    </message>
</context>
</TS>
