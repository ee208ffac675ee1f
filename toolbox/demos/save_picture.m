function save_picture(outdir, name, picture)
  %SAVE_PICTURE Write PICTURE (values in [0, 1]) as OUTDIR/NAME.png and say so.
  file = fullfile(outdir, [name '.png']);
  imwrite(uint8(round(255 * min(max(picture, 0), 1))), file);
  printf('  wrote %s (%d x %d)\n', file, rows(picture), columns(picture));
end
