function test_missing_module()
  % The help files are functions: first on the path without their module they
  % say that the compiled module is missing and how to get it, their help
  % intact; in the module's own folder the module runs instead of them.
  root = fileparts(fileparts(fileparts(mfilename('fullpath'))));
  names = {'gridlerp', 'patchwarp', 'envsweep', 'linscore'};
  for k = 1:numel(names)
    folder = fileparts(which(names{k}));
    assert(exist(names{k}) == 3, '%s is not the compiled module (%s)', names{k}, which(names{k}));
    assert(exist(fullfile(folder, [names{k} '.m']), 'file') == 2, 'no help file beside %s', names{k});
  end
  assert(isequal(gridlerp([10 20; 30 40], 0.5, 0.5), 25));
  saved = path();
  cleanup = onCleanup(@() path(saved));
  addpath(fullfile(root, 'toolbox'));   % the help files alone, ahead of the modules
  for k = 1:numel(names)
    name = names{k};
    try
      feval(name, 1, 2, 3);
      error('%s ran without its module', name);
    catch err
      assert(strcmp(err.identifier, 'bitexact:moduleNotFound'), '%s: %s', name, err.message);
      assert(~isempty(strfind(err.message, 'bitexact_make')) && ...
             ~isempty(strfind(err.message, 'pkg install')), '%s: %s', name, err.message);
    end
    text = get_help_text(name);
    assert(strncmp(text, upper(name), numel(name)), 'the help of %s changed', name);
  end
  printf('test_missing_module: passed\n');
end
